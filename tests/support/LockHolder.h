#pragma once

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace plumo::testing {

// Another process that holds an flock on a file until release() or the end of the scope.
class LockHolder {
 public:
  explicit LockHolder(const std::filesystem::path& lockFile) {
    int ready[2];
    int release[2];
    EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(release, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      const int file = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      (void)!::write(ready[1], file >= 0 && ::flock(file, LOCK_EX) == 0 ? "1" : "0", 1);
      char ignored;
      (void)!::read(release[0], &ignored, 1);  // returns when the parent closes its end
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char answer = '0';
    (void)!::read(ready[0], &answer, 1);
    ::close(ready[0]);
    EXPECT_EQ(answer, '1') << "the other process took the lock";
  }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  ~LockHolder() { release(); }

  void release() {
    if (pid_ <= 0) return;
    ::close(release_);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

}  // namespace plumo::testing
