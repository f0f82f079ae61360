#pragma once

// Accounting for the fault-injection tests, on top of the end-to-end
// environment (a real broker, the simulated board, the real station):
//
//   RequestLedger   every robot request sent through it, and whether each got
//                   exactly one reply;
//   TallyReports    the simulator's report count against the reports the
//                   station decoded (its "sensor data : " lines: the station
//                   runs with "debug" true and "sensor_data_print_space" 1);
//   ActuatorsOn     the actuators the board still holds on.
//
// Each case prints one line with its counts and asserts them.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/e2e_env.h"

namespace station_test {

// Configuration members that make the station log every decoded report (with its seq).
inline std::map<std::string, std::string> CountingConfig() {
  return {{"debug", "true"}, {"sensor_data_print_space", "1"}, {"bottom_action_timeout", "2"}};
}

// A number member of a one-line JSON answer of the simulator, -1 when absent.
inline long long BoardNumber(EndToEnd& e2e, const std::string& command, const std::string& key) {
  const std::string reply = e2e.Board(command);
  const std::string member = "\"" + key + "\":";
  const size_t at = reply.find(member);
  return at == std::string::npos ? -1 : std::atoll(reply.c_str() + at + member.size());
}

// The report seqs the station decoded, in the order it decoded them.
inline std::vector<unsigned long> DecodedSeqs(const std::string& station_log) {
  static const std::regex line(R"(sensor data : seq: ([0-9]+))");
  std::vector<unsigned long> seqs;
  for (auto it = std::sregex_iterator(station_log.begin(), station_log.end(), line); it != std::sregex_iterator();
       ++it) {
    seqs.push_back(std::stoul((*it)[1].str()));
  }
  return seqs;
}

struct ReportTally {
  long long sent = 0;      // the simulator's reports_sent
  long long decoded = 0;   // "sensor data" lines of the station
  long long lost = 0;      // sent but never decoded
  long long corrupt = 0;   // decoded twice, out of order, or never sent
  std::vector<unsigned long> missing;  // the lost seqs
  long long lost_runs = 0;             // runs of consecutive lost seqs
};

// Stops the simulator's periodic reports, waits until the station has taken in
// what was sent (or `bound` passed) and counts. Reports are resumed afterwards.
inline ReportTally TallyReports(EndToEnd& e2e, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  e2e.Board("reports pause");
  ReportTally tally;
  // The station reads about ten times a second and may be held up by a board
  // exchange of up to bottom_action_timeout: give it time to catch up.
  PollUntil(
      [&] {
        tally.sent = BoardNumber(e2e, "stats", "reports_sent");
        const std::vector<unsigned long> seqs = DecodedSeqs(e2e.station().Output());
        // Reports are taken in in order: once the last one sent is in, so is
        // every one before it that the station will ever take in.
        const unsigned long newest = seqs.empty() ? 0 : *std::max_element(seqs.begin(), seqs.end());
        return tally.sent > 0 && static_cast<long long>(newest) >= tally.sent;
      },
      bound);
  tally.sent = BoardNumber(e2e, "stats", "reports_sent");
  const std::vector<unsigned long> seqs = DecodedSeqs(e2e.station().Output());
  tally.decoded = static_cast<long long>(seqs.size());
  std::set<unsigned long> seen;
  unsigned long last = 0;
  for (unsigned long seq : seqs) {
    if (seen.count(seq) != 0 || seq <= last || seq > static_cast<unsigned long>(tally.sent)) {
      ++tally.corrupt;
    }
    seen.insert(seq);
    last = std::max(last, seq);
  }
  for (unsigned long seq = 1; seq <= static_cast<unsigned long>(tally.sent); ++seq) {
    if (seen.count(seq) == 0) {
      tally.missing.push_back(seq);
    }
  }
  tally.lost = static_cast<long long>(tally.missing.size());
  for (size_t i = 0; i < tally.missing.size(); ++i) {
    if (i == 0 || tally.missing[i] != tally.missing[i - 1] + 1) {
      ++tally.lost_runs;
    }
  }
  e2e.Board("reports resume");
  return tally;
}

inline std::string ToText(const ReportTally& tally) {
  return "reports sent " + std::to_string(tally.sent) + " decoded " + std::to_string(tally.decoded) + " lost " +
         std::to_string(tally.lost) + " corrupt " + std::to_string(tally.corrupt);
}

// Every actuator the board has been told about that it still holds on ("NAME value").
inline std::vector<std::string> ActuatorsOn(EndToEnd& e2e) {
  static const std::regex entry(R"re("ENUM_SUPPLY_([A-Z0-9_]+)":(-?[0-9]+))re");
  const std::string state = e2e.Board("state");
  std::vector<std::string> on;
  for (auto it = std::sregex_iterator(state.begin(), state.end(), entry); it != std::sregex_iterator(); ++it) {
    if ((*it)[2].str() != "0") {
      on.push_back((*it)[1].str() + " " + (*it)[2].str());
    }
  }
  return on;
}

// The robot's requests of one test, each answered or not, and the replies that
// came in on each reply topic. The robot client must have been cleared when the
// ledger starts, so that every reply it holds answers a request of the ledger.
class RequestLedger {
 public:
  explicit RequestLedger(EndToEnd& e2e) : e2e_(e2e) { e2e_.robot().Clear(); }

  std::string Ask(const std::string& name, const std::string& payload) {
    ++sent_[name];
    const std::string reply = e2e_.Ask(name, payload);
    if (!reply.empty()) {
      ++answered_;
    }
    return reply;
  }
  std::string Supply(int supply_type, int action, int duration = 0) {
    return Ask("supplyMaterialRequest", "{\"cmd\":{\"action\":" + std::to_string(action) + ",\"supplyType\":" +
                                            std::to_string(supply_type) + ",\"duration\":" +
                                            std::to_string(duration) + "}}");
  }
  std::string Check(int check_type) {
    return Ask("checkStation", "{\"checkType\":" + std::to_string(check_type) + "}");
  }

  long long Sent() const {
    long long total = 0;
    for (const auto& [name, count] : sent_) {
      total += count;
    }
    return total;
  }
  long long Answered() const { return answered_; }

  // Waits a moment for late replies, then counts the requests whose reply
  // topic holds a different number of replies than requests were sent.
  long long Mismatched() {
    auto replies = [&] {
      long long total = 0;
      for (const auto& [name, count] : sent_) {
        total += static_cast<long long>(e2e_.robot().Count(EndToEnd::Topic(name + "Re")));
      }
      return total;
    };
    PollUntil([&] {
      const long long before = replies();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return replies() == before;
    });
    long long mismatched = 0;
    for (const auto& [name, count] : sent_) {
      const long long got = static_cast<long long>(e2e_.robot().Count(EndToEnd::Topic(name + "Re")));
      mismatched += got > count ? got - count : count - got;
    }
    return mismatched;
  }

  std::string ToText() const {
    return "requests " + std::to_string(Sent()) + " answered " + std::to_string(Answered());
  }

 private:
  EndToEnd& e2e_;
  std::map<std::string, long long> sent_;
  long long answered_ = 0;
};

// The sanitizer reports in the station's output (its standard error goes
// there too): the station ends through _Exit, so they never reach its exit status.
inline std::vector<std::string> SanitizerReports(const std::string& station_log) {
  std::vector<std::string> reports;
  for (const char* marker :
       {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
    for (size_t at = station_log.find(marker); at != std::string::npos; at = station_log.find(marker, at + 1)) {
      reports.push_back(station_log.substr(at, station_log.find('\n', at) - at));
    }
  }
  return reports;
}

// Prints a case's counts into the test's output.
inline void PrintCounts(const std::string& what, const std::string& counts) {
  std::printf("[ counts   ] %s: %s\n", what.c_str(), counts.c_str());
  std::fflush(stdout);
}

}  // namespace station_test
