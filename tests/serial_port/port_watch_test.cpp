// The port watcher's bookkeeping, walked through its sequences without its
// thread: each "look" stands for one of the thread's looks, and a posting
// function records which windows it posted to, refusing when told to, as a
// full queue does.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "serial_port/port_watch.h"

namespace vemblaric::serial_port {
namespace {

PortLists g_lists;  // what the system lists now
std::string g_posted;
bool g_refusing = false;

PortLists Look() { return g_lists; }
BOOL WINAPI Post(HWND window, UINT, WPARAM, LPARAM) {
  g_posted += static_cast<char>('A' - 1 + reinterpret_cast<UINT_PTR>(window));
  return !g_refusing;
}

// "COM1,COM3|COM5": the device map's names, then the DOS names.
PortLists Lists(const std::string& text) {
  PortLists lists;
  std::vector<std::wstring>* into = &lists.deviceMap;
  std::wstring name;
  for (char c : text + ",") {
    if (c == ',' || c == '|') {
      if (!name.empty()) into->push_back(name);
      name.clear();
      if (c == '|') into = &lists.dosNames;
    } else {
      name += static_cast<wchar_t>(c);
    }
  }
  return lists;
}

// Runs one step, "verb argument"; returns the windows posted to and the answer.
std::string Step(PortWatch& watch, const std::string& step) {
  std::istringstream in(step);
  std::string verb, argument;
  in >> verb >> argument;
  const HWND window = argument.empty() ? nullptr : reinterpret_cast<HWND>(static_cast<UINT_PTR>(argument[0] - 'A' + 1));
  g_posted.clear();
  std::string answer;
  if (verb == "sub") watch.Subscribe(window, WM_APP);
  else if (verb == "unsub") watch.Unsubscribe(window);
  else if (verb == "taken") watch.Taken(window);
  else if (verb == "set") g_lists = Lists(argument);
  else if (verb == "look") watch.Looked(g_lists = Lists(argument));
  else if (verb == "refuse") g_refusing = true;
  else if (verb == "accept") g_refusing = false;
  else if (verb == "ended") watch.ThreadEnded(::GetCurrentThreadId());
  else if (verb == "seen") answer = watch.Seen(std::wstring(argument.begin(), argument.end())) ? "yes" : "no";
  else ADD_FAILURE() << "no such step: " << step;
  return g_posted + (!g_posted.empty() && !answer.empty() ? " " : "") + answer;
}

struct Sequence {
  const char* what;
  std::vector<std::string> steps;
};

const Sequence kSequences[] = {
    {"a change is told to every window, once until each handled its notice",
     {"sub A", "sub B", "look COM1 -> AB", "look COM1,COM3", "taken A", "look COM1,COM3", "look COM1 -> A",
      "taken B", "look COM1", "look COM2 -> B"}},
    {"a refused post is posted again by the next look, changed or not",
     {"sub A", "refuse", "look COM2 -> A", "look COM2 -> A", "accept", "look COM2 -> A", "look COM2"}},
    {"what changed while nobody watched is no change",
     {"look COM1", "set COM1,COM2", "sub A", "look COM1,COM2", "look COM1 -> A"}},
    {"either list counts: a DOS name that goes is a change",
     {"sub A", "look COM1|COM1 -> A", "taken A", "look COM1| -> A"}},
    {"a window subscribed twice gets one notice", {"sub A", "sub A", "look COM5 -> A"}},
    {"unsubscribed windows and those of an ended thread hear nothing more",
     {"sub A", "sub B", "unsub A", "look COM9 -> B", "taken B", "ended", "look COM8"}},
    {"Seen answers from the last look, in any case, from either list",
     {"look COM3|COM7", "seen com3 -> yes", "seen COM7 -> yes", "seen COM4 -> no", "look COM4",
      "seen COM3 -> no"}},
};

TEST(PortWatch, SequencesPostAndAnswerByTheirRules) {
  for (const Sequence& sequence : kSequences) {
    SCOPED_TRACE(sequence.what);
    PortWatch watch(&Look, &Post, false);
    g_lists = PortLists();
    g_refusing = false;
    for (const std::string& step : sequence.steps) {
      const size_t arrow = step.find(" -> ");
      const std::string expected = arrow == std::string::npos ? "" : step.substr(arrow + 4);
      EXPECT_EQ(Step(watch, step.substr(0, arrow)), expected) << step;
    }
  }
}

}  // namespace
}  // namespace vemblaric::serial_port
