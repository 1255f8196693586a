// The bridge as a service: the program, the broker and the timers in one
// poll loop on one thread, which owns all of the service's state. A fetched
// flight record alone is read and compressed on a thread of its own
// (RecordPacker), which hands it back through a descriptor of that poll.
#pragma once
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "bridge/answers.h"
#include "bridge/call_tracker.h"
#include "bridge/config.h"
#include "bridge/driver_process.h"
#include "bridge/history.h"
#include "bridge/mqtt_client.h"
#include "bridge/outbox.h"
#include "bridge/pacer.h"
#include "bridge/protocol.h"
#include "bridge/record_files.h"
#include "bridge/service_manager.h"
#include "bridge/topics.h"

namespace bridge {

inline constexpr long long kRestartFirstMs = 1000;
inline constexpr long long kRestartMaxMs = 60000;
// A program that ran this long is taken as healthy: its next restart waits
// the first backoff again.
inline constexpr long long kRestartHealthyMs = 60000;
inline constexpr int kStopGraceMs = 5000;
inline constexpr size_t kMaxInFlight = 20;
// How long the program may take to write its record after SIGUSR1 (12 MiB
// of ring as text on a Pi's SD card), and how often the bridge looks.
inline constexpr long long kRecordWaitMs = 20000;
inline constexpr long long kRecordPollMs = 50;
// The diagnostics' count of waiting events is refreshed this often, not at
// every event.
inline constexpr long long kHealthEveryMs = 10000;

class Service {
 public:
  Service(const Config& config, bool verbose);
  // Runs until SIGTERM or SIGINT; returns the exit status.
  int run();

 private:
  void loop_once();
  long long next_timeout_ms(long long now) const;

  // The program.
  void start_driver();
  void on_driver_output();
  void on_driver_exit(int status);
  void on_program_line(const std::string& line);
  // The handshake report, line by line: the program is ready at its last.
  void on_handshake_line(const ProgramLine& line);
  // A line of the call: its event, the call's state, and on a dial the
  // room's automatic answer.
  void on_call_line(const ProgramLine& line);
  void on_dial();
  void on_report_line(const std::string& line);
  void send_due_codes();
  void settle(const std::vector<Settled>& settled);

  // The broker.
  void on_mqtt(const MqttEvent& event);
  void on_message(const MqttEvent& event);
  // BASE/room/LEVEL/command, answered on its own result topic.
  void on_room_command(const MqttEvent& event, const InTopic& topic);
  void on_connected();
  // A command from the operator's BASE/command (room -1), or from a
  // household's BASE/room/N/command, which reaches that room's call alone.
  void on_command(const std::string& payload, int room = -1);
  void on_record_get();
  void poll_record();
  void finish_record(const std::string& why_not);
  // The packer's result, when it has one: published.
  void on_record_packed();
  void on_retained_elsewhere(const MqttEvent& event);
  void publish_health();
  // STATUS= for systemctl status: the diagnostics, and the broker.
  void report_status();
  // An answer mode from the operator's BASE/answer/N/set, or from a
  // household's BASE/room/N/answer/set, answered on that room's result
  // topic.
  void on_answer_set(const InTopic& topic, const std::string& payload, bool household = false);
  void publish_event(nlohmann::json event);
  void publish_result(nlohmann::json result, int room = -1);
  void publish_result_on(const std::string& topic, nlohmann::json result);
  void set_state(const std::string& topic, const nlohmann::json& value);
  void publish_discovery();
  void flush();

  void run_answer_steps();
  // Hands the code to the pacer; `result` is published once the program
  // has said what became of it, on room `room`'s result topic for a
  // household's command (-1: the operator's).
  void accept(Action action, const Decision& decision, long call, nlohmann::json result,
              int room = -1);
  void publish_call();
  void publish_answer(int room);
  // The call's record goes to its room's history once its drop has come and
  // every code sent for it has been settled; `now` finishes it regardless
  // (a new dial, the program's end).
  void finish_history(bool now = false);
  // A room's history as it was retained on the broker, read back once.
  void on_history_read(const MqttEvent& event, int room);
  void shut_down();

  const Config& config_;
  bool verbose_;
  CallTracker tracker_;
  Answers answers_;
  CallHistory history_;
  // Rooms whose retained history has been read back in this run.
  std::set<int> history_read_;
  Pacer pacer_;
  Outbox outbox_;
  MqttClient mqtt_;
  const Topics topics_;
  DriverProcess driver_;
  // Reads and compresses a fetched record on its own thread; the one member
  // of the service that another thread touches (its result, under its lock).
  RecordPacker packer_;
  ServiceManager manager_;

  bool connected_ = false;
  std::set<int> event_mids_;  // messages of the outbox awaiting their acknowledgement
  std::map<std::string, std::string> states_;  // retained records, latest value
  std::set<std::string> dirty_;                // not yet published since they changed

  // The program's handshake report, gathered line by line.
  nlohmann::json info_ = nlohmann::json::object();
  std::string version_;
  bool program_ready_ = false;
  // The imitated room whose call is in progress, from its dial to its drop:
  // its events go to BASE/room/N/event too.
  int room_call_ = -1;
  // Retained configs this bridge announces: whatever else lies under its
  // patterns is from an earlier configuration, and is cleared.
  std::set<std::string> announced_;
  // For the diagnostics.
  std::string program_state_ = "starting";
  std::string program_reason_;
  long restarts_ = 0;
  long long health_due_ms_ = 0;
  // A record asked for on BASE/record/get, until the program has written it.
  bool record_wanted_ = false;
  long long record_deadline_ms_ = 0;
  bool recording_ = false;  // ZUL_RECORD was given to the running program
  long long driver_started_ms_ = 0;
  long long restart_at_ms_ = -1;
  long long restart_backoff_ms_ = kRestartFirstMs;

  struct Step {
    long long due_ms;
    long call;
    Action action;
  };
  std::vector<Step> steps_;

  // Results of accepted codes, published when the program has said what
  // became of them; by the pacer's ticket.
  struct PendingResult {
    nlohmann::json result;
    int room;  // whose BASE/room/N/command/result; -1: BASE/command/result
    long call;
    Action action;
    Actor by;
  };
  std::map<long, PendingResult> pending_results_;
  long next_ticket_ = 1;
};

// Installs the SIGTERM/SIGINT handlers; the returned descriptor becomes
// readable when one arrives.
int stop_signal_fd();

}  // namespace bridge
