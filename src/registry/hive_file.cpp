#include "hive_file.h"

#include <algorithm>
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

// The size of the pieces a hive is read and copied in.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
// How much of a hive's end is enough to tell how it ends: a line end, or a blank line.
constexpr std::size_t kTailBytes = 4;

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

LONG HiveFile::Hold(const std::string &path, int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    const int error = errno;
    close(fd);
    Release();
    return FromErrno(error, ERROR_READ_FAULT);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    Release();
    return ERROR_BADDB;
  }
  if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = fd;
  path_ = path;
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
  return Hold(path, fd);
}

LONG HiveFile::Scan(HiveScanner *scanner) const {
  // The file is read in pieces through one buffer, as a copy would be: a hive can be tens of
  // megabytes, and neither its size in memory nor the cost of mapping it in is needed.
  std::string buffer(std::min(kChunkBytes, Size() + 1), '\0');
  std::size_t held = 0;   // bytes in the buffer not yet scanned
  std::size_t offset = 0; // where the buffer starts in the file
  for (;;) {
    if (held == buffer.size()) {
      buffer.resize(buffer.size() * 2); // one value larger than the buffer
    }
    const ssize_t got =
        pread(fd_, buffer.data() + held, buffer.size() - held, static_cast<off_t>(offset + held));
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return FromErrno(errno, ERROR_READ_FAULT);
    }
    held += static_cast<std::size_t>(got);
    const std::string_view text(buffer.data(), held);
    const std::size_t cut = got == 0 ? held : HiveScanner::SafeCut(text);
    if (cut > 0 && !scanner->Feed(text.substr(0, cut), offset)) {
      return ERROR_BADDB;
    }
    if (got == 0) {
      return ERROR_SUCCESS;
    }
    std::memmove(buffer.data(), buffer.data() + cut, held - cut);
    held -= cut;
    offset += cut;
  }
}

LONG HiveFile::ReadAt(Span span, std::string *bytes) const {
  bytes->resize(span.end - span.begin);
  std::size_t have = 0;
  while (have < bytes->size()) {
    const ssize_t got = pread(fd_, bytes->data() + have, bytes->size() - have,
                              static_cast<off_t>(span.begin + have));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return got == 0 ? ERROR_BADDB : FromErrno(errno, ERROR_READ_FAULT);
    }
    have += static_cast<std::size_t>(got);
  }
  return ERROR_SUCCESS;
}

LONG HiveFile::Tail(std::string *tail) const {
  const auto size = static_cast<std::size_t>(identity_.st_size);
  const std::size_t length = size < kTailBytes ? size : kTailBytes;
  return ReadAt(Span{size - length, size}, tail);
}

LONG HiveFile::CopyWith(int out, const Splice &splice) const {
  const std::size_t size = Size();
  std::string buffer(std::min(kChunkBytes, size + 1), '\0');
  const auto copy = [&](std::size_t from, std::size_t to) {
    while (from < to) {
      const std::size_t want = to - from < buffer.size() ? to - from : buffer.size();
      const ssize_t got = pread(fd_, buffer.data(), want, static_cast<off_t>(from));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        errno = got == 0 ? EIO : errno;
        return false;
      }
      if (!WriteAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
        return false;
      }
      from += static_cast<std::size_t>(got);
    }
    return true;
  };
  if (!copy(0, splice.begin) || !WriteAll(out, splice.text) || !copy(splice.end, size)) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  return ERROR_SUCCESS;
}

LONG HiveFile::Rewrite(const std::function<LONG(bool reloaded, Splice *splice)> &plan) {
  const std::string path = path_;
  // Every writer holds this lock from reading the hive until its replacement is in place,
  // so no writer's change is built on a stale copy.
  const Fd lock(LockHive(path));
  if (!lock.Valid()) {
    return FromErrno(errno, ERROR_ACCESS_DENIED);
  }
  // Under the lock, the file at the path is read again: it is the one held only if it is
  // the very same unchanged file, which writers that follow the protocol never modify.
  bool reloaded = false;
  const int current = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (current < 0) {
    const int error = errno;
    Release();
    return FromErrno(error, ERROR_READ_FAULT);
  }
  if (SameAsHeld(current)) {
    close(current);
  } else if (const LONG status = Hold(path, current); status != ERROR_SUCCESS) {
    return status;
  } else {
    reloaded = true;
  }
  Splice splice;
  if (const LONG status = plan(reloaded, &splice); status != ERROR_SUCCESS) {
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
  if (fchmod(out.Get(), identity_.st_mode & 07777) != 0) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  if (const LONG status = CopyWith(out.Get(), splice); status != ERROR_SUCCESS) {
    return status;
  }
  if (fsync(out.Get()) != 0 || !out.Close()) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  if (rename(temp.Path().c_str(), path.c_str()) != 0) {
    return FromErrno(errno, ERROR_WRITE_FAULT);
  }
  temp.Keep();
  const Fd directory(open(Directory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const bool durable = directory.Valid() && fsync(directory.Get()) == 0;
  const int error = errno;

  // Still under the lock, the file at the path is the one just made: hold it.
  const int made = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (made < 0) {
    Release();
  } else {
    Hold(path, made);
  }
  return durable ? ERROR_SUCCESS : FromErrno(error, ERROR_WRITE_FAULT);
}

} // namespace orvik::reg
