#pragma once

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace plumo::testing {

// Where inject-fault makes a fault happen: the nth file-system call that
// touches the share's folders and files, counted over all its threads.
// `call` names it as a recorded share made it (threads may order it a little
// differently in another run).
struct InjectionPoint {
  long nth = 0;
  std::string call;

  std::string name() const { return "#" + std::to_string(nth) + " " + call; }
};

// The file-system calls of one share, as `inject-fault --list` wrote them
// down: one line each, "thread call path".
class SystemCallTrace {
 public:
  explicit SystemCallTrace(const std::string& list) {
    std::istringstream lines(list);
    std::string thread;
    std::string call;
    std::string path;
    while (lines >> thread >> call && std::getline(lines, path)) {
      points_.push_back({static_cast<long>(points_.size()) + 1, call});
    }
  }

  const std::vector<InjectionPoint>& points() const { return points_; }

 private:
  std::vector<InjectionPoint> points_;
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
// that come at most three times in a share (the moves, locks and renames that
// publish hinges on) are always kept.
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
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.nth < b.nth; });
  return kept;
}

}  // namespace plumo::testing
