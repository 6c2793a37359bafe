#include "hive_file.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvik::reg {
namespace {

struct ErrnoCode {
  int error;
  LONG code;
};

constexpr ErrnoCode kErrnoCodes[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_FILE_NOT_FOUND},
    {ENAMETOOLONG, ERROR_FILE_NOT_FOUND},
    {ELOOP, ERROR_FILE_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENOMEM, ERROR_OUTOFMEMORY},
};

// Room left after a hive's content when it is read, for the edits of later writes.
constexpr std::size_t kSpareBytes = 4096;

LONG FromErrno(int error, LONG fallback) {
  for (const ErrnoCode &entry : kErrnoCodes) {
    if (entry.error == error) {
      return entry.code;
    }
  }
  return fallback;
}

// Owns a file descriptor.
class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() { Close(); }
  [[nodiscard]] int Get() const { return fd_; }
  [[nodiscard]] bool Valid() const { return fd_ >= 0; }
  // Closing can report a failed write on some file systems, so its result matters.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

private:
  int fd_;
};

// Removes the temporary file unless it has been renamed into place.
class TempFile {
public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() {
    if (!kept_) {
      unlink(path_.c_str());
    }
  }
  [[nodiscard]] const std::string &Path() const { return path_; }
  void Keep() { kept_ = true; }

private:
  std::string path_;
  bool kept_ = false;
};

std::string Directory(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

const char *NonEmptyEnv(const char *name) {
  const char *value = std::getenv(name); // NOLINT(concurrency-mt-unsafe): read-only use
  return value != nullptr && *value != '\0' ? value : nullptr;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

int LockHive(const std::string &path) {
  const std::string lockPath = path + ".lock";
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EACCES) {
    fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    return -1;
  }
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int error = errno;
      close(fd);
      errno = error;
      return -1;
    }
  }
  return fd;
}

// Whether the file behind `fd` holds exactly `content`, read in chunks so that checking a
// large hive costs no second copy of it in memory.
bool SameBytes(int fd, std::string_view content) {
  std::array<char, 1 << 16> chunk{};
  std::size_t offset = 0;
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return got == 0 && offset == content.size();
    }
    const auto size = static_cast<std::size_t>(got);
    if (offset + size > content.size() ||
        std::memcmp(chunk.data(), content.data() + offset, size) != 0) {
      return false;
    }
    offset += size;
  }
}

} // namespace

std::string HivePath(std::string_view rootName) {
  std::string directory;
  if (const char *dir = NonEmptyEnv("ORVIK_REGISTRY_DIR")) {
    directory = dir;
  } else {
    const char *state = NonEmptyEnv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
      directory = state;
    } else if (const char *home = NonEmptyEnv("HOME")) {
      directory = std::string(home) + "/.local/state";
    } else {
      return {};
    }
    directory += "/orvikswitch/registry";
  }
  return directory + "/" + std::string(rootName) + ".reg";
}

LONG CheckWritable(const std::string &path) {
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 ||
      faccessat(AT_FDCWD, Directory(path).c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return FromErrno(errno, ERROR_ACCESS_DENIED);
  }
  return ERROR_SUCCESS;
}

HiveFile::~HiveFile() { Release(); }

void HiveFile::Release() {
  if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = -1;
  path_.clear();
  content_.reset();
  size_ = 0;
  capacity_ = 0;
}

void HiveFile::Replace(const Splice &splice) {
  const std::size_t tail = size_ - splice.end;
  const std::size_t size = splice.begin + splice.text.size() + tail;
  if (size > capacity_) {
    auto grown = std::make_unique_for_overwrite<char[]>(size + kSpareBytes);
    std::memcpy(grown.get(), content_.get(), splice.begin);
    std::memcpy(grown.get() + splice.begin + splice.text.size(), content_.get() + splice.end, tail);
    content_ = std::move(grown);
    capacity_ = size + kSpareBytes;
  } else {
    std::memmove(content_.get() + splice.begin + splice.text.size(), content_.get() + splice.end,
                 tail);
  }
  std::memcpy(content_.get() + splice.begin, splice.text.data(), splice.text.size());
  size_ = size;
}

bool HiveFile::SameAsHeld(int fd) const {
  struct stat now {};
  return fd_ >= 0 && fstat(fd, &now) == 0 && now.st_dev == identity_.st_dev &&
         now.st_ino == identity_.st_ino && now.st_size == identity_.st_size &&
         now.st_mtim.tv_sec == identity_.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == identity_.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == identity_.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == identity_.st_ctim.tv_nsec;
}

// Reads the whole of `fd` into the content and makes it the held file.
LONG HiveFile::Read(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    return FromErrno(errno, ERROR_READ_FAULT);
  }
  if (!S_ISREG(info.st_mode)) {
    return ERROR_BADDB;
  }
  // Read straight into the buffer: a hive can be tens of megabytes, and one copy is enough.
  // The spare room lets a small edit be applied in place later.
  std::size_t wanted = static_cast<std::size_t>(info.st_size) + kSpareBytes;
  if (wanted > capacity_) {
    content_ = std::make_unique_for_overwrite<char[]>(wanted);
    capacity_ = wanted;
  }
  size_ = 0;
  for (;;) {
    if (size_ == capacity_) {
      // The file grew while it was read; a protocol writer never does that, but be safe.
      wanted = capacity_ * 2;
      auto grown = std::make_unique_for_overwrite<char[]>(wanted);
      std::memcpy(grown.get(), content_.get(), size_);
      content_ = std::move(grown);
      capacity_ = wanted;
    }
    const ssize_t got = read(fd, content_.get() + size_, capacity_ - size_);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      const int error = errno;
      Release();
      return FromErrno(error, ERROR_READ_FAULT);
    }
    if (got == 0) {
      break;
    }
    size_ += static_cast<std::size_t>(got);
  }
  if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = fd;
  identity_ = info;
  return ERROR_SUCCESS;
}

LONG HiveFile::Load(const std::string &path, bool *reloaded) {
  *reloaded = false;
  // O_NONBLOCK keeps a FIFO planted in the hive's place from blocking the open.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    Release();
    return FromErrno(error, ERROR_READ_FAULT);
  }
  if (path == path_ && SameAsHeld(fd)) {
    close(fd);
    return ERROR_SUCCESS;
  }
  *reloaded = true;
  path_ = path;
  const LONG status = Read(fd);
  if (status != ERROR_SUCCESS) {
    close(fd);
    Release();
  }
  return status;
}

LONG HiveFile::Rewrite(
    const std::function<LONG(std::string_view content, bool reloaded, Splice *splice)> &plan) {
  const std::string path = path_;
  // Every writer holds this lock from reading the hive until its replacement is in place,
  // so no writer's change is built on a stale copy.
  const Fd lock(LockHive(path));
  if (!lock.Valid()) {
    return FromErrno(errno, ERROR_ACCESS_DENIED);
  }
  bool reloaded = false;
  {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      const int error = errno;
      Release();
      return FromErrno(error, ERROR_READ_FAULT);
    }
    if (SameAsHeld(fd) && SameBytes(fd, Content())) {
      close(fd);
    } else {
      reloaded = true;
      path_ = path;
      if (const LONG status = Read(fd); status != ERROR_SUCCESS) {
        close(fd);
        Release();
        return status;
      }
    }
  }
  Splice splice;
  if (const LONG status = plan(Content(), reloaded, &splice); status != ERROR_SUCCESS) {
    return status;
  }

  // The temporary name is fixed: under the lock only one writer uses it, and a writer that
  // was killed half-way leaves a file that the next writer removes first.
  TempFile temp(path + ".tmp");
  if (unlink(temp.Path().c_str()) != 0 && errno != ENOENT) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  Fd out(open(temp.Path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out.Valid()) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  // Ownership is kept where this process may keep it; the permission bits always are.
  if (fchown(out.Get(), identity_.st_uid, identity_.st_gid) != 0) {
    errno = 0;
  }
  const std::string_view bytes = Content();
  if (fchmod(out.Get(), identity_.st_mode & 07777) != 0 ||
      !WriteAll(out.Get(), bytes.substr(0, splice.begin)) || !WriteAll(out.Get(), splice.text) ||
      !WriteAll(out.Get(), bytes.substr(splice.end)) || fsync(out.Get()) != 0 || !out.Close()) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  if (rename(temp.Path().c_str(), path.c_str()) != 0) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  temp.Keep();
  const Fd directory(open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const bool durable = directory.Valid() && fsync(directory.Get()) == 0;
  const int error = errno;

  // Hold the new file as if it had been read: still under the lock, it is the one just made.
  Replace(splice);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    Release();
  } else {
    close(fd_);
    fd_ = fd;
    identity_ = info;
  }
  return durable ? ERROR_SUCCESS : FromErrno(error, ERROR_WRITE_FAULT);
}

} // namespace orvik::reg
