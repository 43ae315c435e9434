#pragma once
// Small helpers shared by the watchdog tests: a private temporary folder
// with its own settings store, and whole-file reads and writes.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace watchdog_test {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

// The settings of a defaults script (the package's nvram-defaults.sh): each
// "nvram set KEY=VALUE" line as KEY -> VALUE; comments and other lines are
// not settings. Empty when the file cannot be read.
inline std::map<std::string, std::string> DefaultsOf(const std::string& path) {
  std::map<std::string, std::string> settings;
  const std::string command = "nvram set ";
  for (const std::string& line : SplitLines(ReadFile(path))) {
    if (line.compare(0, command.size(), command) != 0) continue;
    const size_t equals = line.find('=', command.size());
    if (equals == std::string::npos) continue;
    settings[line.substr(command.size(), equals - command.size())] = line.substr(equals + 1);
  }
  return settings;
}

// A fresh folder under TMPDIR (or /tmp), removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/netvigil-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
  }
  ~TempFolder() {
    if (!path_.empty()) RemoveTree(path_);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  static void RemoveTree(const std::string& path) {
    for (const std::string& name : ListFolder(path)) {
      const std::string child = path + "/" + name;
      if (unlink(child.c_str()) != 0) RemoveTree(child);
    }
    rmdir(path.c_str());
  }
  std::string path_;
};

// Points this process's settings store at a file in a temporary folder.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    store_ = folder_ / "nvram.txt";
    setenv("NVRAM_FILE", store_.c_str(), 1);
  }
  void TearDown() override { unsetenv("NVRAM_FILE"); }

  TempFolder folder_;
  std::string store_;
};

}  // namespace watchdog_test
