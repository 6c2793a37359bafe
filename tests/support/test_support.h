// Helpers shared by the tests: temporary registry directories, files and child processes.
#pragma once

#include <string>
#include <vector>

namespace orvik::test {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
public:
  TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir();
  [[nodiscard]] const std::string &Path() const { return path_; }
  [[nodiscard]] std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Points the registry layer of this process at `dir` for as long as the object lives.
class RegistryDirScope {
public:
  explicit RegistryDirScope(const std::string &dir);
  RegistryDirScope(const RegistryDirScope &) = delete;
  RegistryDirScope &operator=(const RegistryDirScope &) = delete;
  ~RegistryDirScope();
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);
bool FileExists(const std::string &path);
std::vector<std::string> ListDir(const std::string &dir);

struct ProcessResult {
  int exitCode = -1;  // -1 when the process did not exit normally
  std::string output; // standard output and standard error together
};

// Runs a program with ORVIK_REGISTRY_DIR set to `registryDir` and waits for it.
ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &registryDir);

// Starts a program as RunProcess does, with its output discarded, and does not wait for it.
int StartProcess(const std::vector<std::string> &argv, const std::string &registryDir);

// Waits for a started program: its exit status, or -1 when it did not exit normally.
int WaitProcess(int pid);

// A copy of the program `from` in `dir`, where an unprivileged user can surely run it even
// when the build tree is out of that user's reach.
std::string CopyProgram(const std::string &from, const TempDir &dir);

// Takes away the right to change the hives in `dir` from the program run next, and returns
// the argv prefix to run it with: as root, a drop to an unprivileged user; otherwise, for an
// ordinary user, the files and the directory are made read-only.
std::vector<std::string> DenyHiveWrites(const std::string &dir);

} // namespace orvik::test
