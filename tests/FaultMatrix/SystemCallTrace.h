#pragma once

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Files.h"

namespace plumo::testing {

// The file-system calls the matrix injects into: every way a share opens,
// reads, writes, syncs, copies, moves, creates, removes, locks, lists or
// inspects a file or folder.
inline const std::string& fileSystemCalls() {
  static const std::string calls =
      "openat,open,creat,read,pread64,write,pwrite64,fsync,fdatasync,sync_file_range,copy_file_range,sendfile,"
      "fallocate,ftruncate,ioctl,rename,renameat,renameat2,link,linkat,mkdir,mkdirat,unlink,unlinkat,rmdir,flock,"
      "fcntl,getdents64,newfstatat,statx,fchmod,fchmodat,utimensat,close";
  return calls;
}

// Where strace can make a fault happen: the nth call of one system call.
// strace counts each thread's calls on its own, so the fault strikes the
// nth call of every thread that makes that many.
struct InjectionPoint {
  std::string call;
  int ordinal = 0;

  std::string when() const { return call + ":when=" + std::to_string(ordinal); }
  auto operator<=>(const InjectionPoint&) const = default;
};

// The file-system calls of one share, as `strace -f -y` wrote them down.
class SystemCallTrace {
 public:
  // Reads strace's output; `home` marks the calls that touch the share's own
  // folders and files (a path or a descriptor under it).
  SystemCallTrace(const std::string& output, const std::string& home) {
    static const std::regex callStart(R"(^(\d+) +([a-z0-9_]+)\((.*)$)");
    static const std::regex workingFolder(R"(AT_FDCWD<[^>]*>)");
    std::istringstream lines(output);
    std::map<std::pair<std::string, std::string>, int> counts;
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      if (!std::regex_match(line, match, callStart)) continue;
      const std::string thread = match[1];
      const std::string call = match[2];
      const std::string arguments = std::regex_replace(std::string(match[3]), workingFolder, "AT_FDCWD");
      calls_.push_back({{call, ++counts[{thread, call}]}, arguments.find(home) != std::string::npos});
    }
  }

  std::size_t size() const { return calls_.size(); }
  std::size_t touchingHome() const {
    return static_cast<std::size_t>(std::count_if(calls_.begin(), calls_.end(), [](const auto& c) { return c.touchesHome; }));
  }

  // Every point, in the order its first call came.
  std::vector<InjectionPoint> allPoints() const {
    return pointsWhere([](const Call&) { return true; });
  }

  // The points whose first call touches the share's folders and files: the
  // call a SIGKILL strikes, and the first an error strikes. (A point whose
  // first call is elsewhere would strike the loader or the toolkit first.)
  std::vector<InjectionPoint> pointsInTheShare() const {
    return pointsWhere([](const Call& first) { return first.touchesHome; });
  }

  // How many of the calls that touch the share's files are the first of their point.
  template <typename Points>
  std::size_t callsStruckFirst(const Points& points) const {
    std::set<InjectionPoint> chosen(points.begin(), points.end());
    std::set<InjectionPoint> seen;
    std::size_t struck = 0;
    for (const auto& call : calls_) {
      if (seen.insert(call.point).second && call.touchesHome && chosen.contains(call.point)) ++struck;
    }
    return struck;
  }

 private:
  struct Call {
    InjectionPoint point;
    bool touchesHome = false;
  };

  template <typename Keep>
  std::vector<InjectionPoint> pointsWhere(Keep keep) const {
    std::set<InjectionPoint> seen;
    std::vector<InjectionPoint> kept;
    for (const auto& call : calls_) {
      if (seen.insert(call.point).second && keep(call)) kept.push_back(call.point);
    }
    return kept;
  }

  std::vector<Call> calls_;
};

// How many points each call has, as "close 7, fsync 6, ...".
inline std::string pointsPerCall(const std::vector<InjectionPoint>& points) {
  std::map<std::string, int> perCall;
  for (const auto& point : points) ++perCall[point.call];
  std::string text;
  for (const auto& [call, count] : perCall) text += (text.empty() ? "" : ", ") + call + " " + std::to_string(count);
  return text;
}

// At most `limit` of the points, spread evenly and always the same ones; calls
// that come at most three times in a share (the moves, locks and folder
// creations that publish hinges on) are always kept.
inline std::vector<InjectionPoint> sample(const std::vector<InjectionPoint>& points, std::size_t limit) {
  if (points.size() <= limit) return points;
  std::map<std::string, int> perCall;
  for (const auto& point : points) ++perCall[point.call];
  std::vector<InjectionPoint> rare;
  std::vector<InjectionPoint> common;
  for (const auto& point : points) (perCall[point.call] <= 3 ? rare : common).push_back(point);
  std::vector<InjectionPoint> kept = rare;
  const std::size_t room = std::min(common.size(), limit > rare.size() ? limit - rare.size() : 0);
  for (std::size_t index = 0; index < room; ++index) kept.push_back(common[index * common.size() / room]);
  std::sort(kept.begin(), kept.end());
  return kept;
}

}  // namespace plumo::testing
