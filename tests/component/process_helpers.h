#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../support/heard_signals.h"
#include "process/command.h"

namespace pacpick::process::test {

/// A scratch directory removed with everything in it at the end of a test.
class TempDir {
  public:
    TempDir() {
        std::string pattern = "/tmp/pacpick-process-XXXXXX";
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

/// Sets environment variables for one test and puts back what was there.
class ScopedEnvironment {
  public:
    void set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            it->second ? setenv(it->first.c_str(), it->second->c_str(), 1)
                       : unsetenv(it->first.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline std::string random_bytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(generator() & 0xff);
    }
    return bytes;
}

inline void write_file(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// An executable shell script at `path` that runs `body`.
inline void write_script(const std::string& path, const std::string& body) {
    write_file(path, "#!/bin/sh\n" + body);
    EXPECT_EQ(chmod(path.c_str(), 0755), 0) << path;
}

/// A scratch directory first on PATH for the object's life, holding stand-ins
/// for the programs the code under test runs.
class StandIns : public TempDir {
  public:
    StandIns() {
        const char* path = getenv("PATH");
        environment_.set("PATH", this->path() + ":" + (path ? path : "/usr/bin:/bin"));
    }
    /// A stand-in `name` that runs the shell script `body`.
    void add(const std::string& name, const std::string& body) const {
        write_script(file(name), body);
    }

  private:
    ScopedEnvironment environment_;
};

/// As in the program, SIGCHLD is heard from its first listener on.
inline const bool kChildrenHeard = pacpick::testing::hear(SIGCHLD);

/// CTest runs the event-loop tests a second time with PACPICK_TEST_SIGCHLD_ROUTE
/// set, in a sandbox that answers pidfd_open with ENOSYS, as a kernel before
/// Linux 5.3 does: after a test of that run, the sandbox was in place.
inline void expect_the_sigchld_route_where_asked() {
    if (getenv("PACPICK_TEST_SIGCHLD_ROUTE") != nullptr) {
        const long fd = syscall(SYS_pidfd_open, getpid(), 0);
        EXPECT_TRUE(fd < 0 && errno == ENOSYS) << "the sandbox lets pidfd_open through";
    }
}

/// `sh -c SCRIPT sh POSITIONAL...`: the script sees the rest as "$1"...
inline ChildCommand shell(std::string script, std::vector<std::string> positional = {}) {
    ChildCommand command{"sh", {"-c", std::move(script), "sh"}};
    for (auto& arg : positional) {
        command.arguments.push_back(std::move(arg));
    }
    return command;
}

}  // namespace pacpick::process::test
