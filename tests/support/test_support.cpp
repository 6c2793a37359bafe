#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace orvik::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvik-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
  // An unprivileged child must be able to reach the hives inside.
  std::filesystem::permissions(path_, std::filesystem::perms(0755));
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

RegistryDirScope::RegistryDirScope(const std::string &dir) {
  setenv("ORVIK_REGISTRY_DIR", dir.c_str(), 1);
}

RegistryDirScope::~RegistryDirScope() { unsetenv("ORVIK_REGISTRY_DIR"); }

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  std::string content(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  return content;
}

void WriteFile(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

bool FileExists(const std::string &path) { return std::filesystem::exists(path); }

std::vector<std::string> ListDir(const std::string &dir) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

int Spawn(const std::vector<std::string> &argv, const std::string &registryDir, int outputFd) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outputFd, STDOUT_FILENO);
    dup2(outputFd, STDERR_FILENO);
    setenv("ORVIK_REGISTRY_DIR", registryDir.c_str(), 1);
    std::vector<char *> args;
    for (const std::string &arg : argv) {
      args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

} // namespace

int WaitProcess(int pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int StartProcess(const std::vector<std::string> &argv, const std::string &registryDir) {
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int pid = Spawn(argv, registryDir, devNull);
  close(devNull);
  return pid;
}

ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &registryDir) {
  char outputPath[] = "/tmp/orvik-output-XXXXXX";
  const int outputFd = mkstemp(outputPath);
  if (outputFd < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  const int pid = Spawn(argv, registryDir, outputFd);
  close(outputFd);
  ProcessResult result;
  result.exitCode = WaitProcess(pid);
  result.output = ReadFile(outputPath);
  unlink(outputPath);
  return result;
}

std::string CopyProgram(const std::string &from, const TempDir &dir) {
  const std::string to = dir.File(std::filesystem::path(from).filename().string());
  std::filesystem::copy_file(from, to);
  std::filesystem::permissions(to, std::filesystem::perms(0755));
  return to;
}

std::vector<std::string> DenyHiveWrites(const std::string &dir) {
  namespace fs = std::filesystem;
  const bool root = geteuid() == 0;
  // Root's files stay writable only for root; an ordinary user's are made read-only.
  for (const auto &entry : fs::directory_iterator(dir)) {
    fs::permissions(entry.path(), fs::perms(root ? 0644 : 0444));
  }
  if (root) {
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
  }
  fs::permissions(dir, fs::perms(0555));
  return {};
}

} // namespace orvik::test
