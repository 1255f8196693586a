#include "bridge/service.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "bridge/config.h"
#include "bridge/discovery.h"
#include "bridge/json_text.h"
#include "bridge/log.h"
#include "bridge/protocol.h"
#include "bridge/record_files.h"
#include "bridge/topics.h"
#include "protocol/console.h"

namespace bridge {

using nlohmann::json;

namespace {

int g_signal_pipe[2] = {-1, -1};
std::atomic<int> g_stop_signal{0};

void on_stop_signal(int signo) {
  g_stop_signal = signo;
  const char byte = static_cast<char>(signo);
  [[maybe_unused]] ssize_t n = write(g_signal_pipe[1], &byte, 1);
}

// A retained command would act again at every reconnect (a door opened
// each time the broker comes back): commands act once, when they are sent.
const char kRetained[] = " ignored: commands are acted on only when sent";
const char kRetainedReason[] = "a retained command is ignored; publish commands without retain";

// The event a line of the call publishes; `route` is its call's.
json event_of(const ProgramLine& p, Route route) {
  json event = {{"event", event_name(p.kind)}};
  if (p.kind == ProgramLine::Kind::kDial) {
    event["room"] = p.number;
    event["route"] = route_name(route);
  } else if (p.kind == ProgramLine::Kind::kSignal) {
    event["channel"] = p.channel;
    event["form"] = p.form;
    event["level"] = p.level;
    event["value"] = p.number;
  }
  return event;
}

}  // namespace

int stop_signal_fd() {
  if (g_signal_pipe[0] < 0 && pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  // A program that has ended must not end the bridge when it writes a code.
  signal(SIGPIPE, SIG_IGN);
  return g_signal_pipe[0];
}

Service::Service(const Config& config, bool verbose)
    : config_(config),
      verbose_(verbose),
      tracker_(config),
      answers_(config),
      outbox_(static_cast<size_t>(config.queue_limit)),
      mqtt_(config),
      topics_(config) {
  for (const Message& m : discovery_messages(config_, ZUL_BRIDGE_VERSION))
    announced_.insert(m.topic);
}

int Service::run() {
  const int signal_fd = stop_signal_fd();
  if (signal_fd < 0) {
    log_line("cannot set up the signal handlers");
    return 1;
  }
  std::string error;
  if (!mqtt_.start(&error)) {
    log_line(error);
    return 1;
  }
  std::string brokers;
  for (const BrokerAddress& b : config_.brokers)
    brokers += (brokers.empty() ? "" : ", ") + b.text();
  log_line(
      (config_.brokers.size() > 1 ? "brokers " + brokers + " (in turn)" : "broker " + brokers) +
      ", topic " + config_.topic + (config_.tls() ? ", TLS" : "") +
      (config_.protocol == 5 ? ", MQTT 5" : ", MQTT 3.1.1"));
  publish_call();
  for (int room : answers_.rooms()) publish_answer(room);
  for (const auto& [topic, payload] : states_) announced_.insert(topic);
  start_driver();
  while (g_stop_signal == 0) {
    const int mqtt_fd = mqtt_.socket();
    struct pollfd fds[7] = {
        {signal_fd, POLLIN, 0},
        {mqtt_fd, static_cast<short>(POLLIN | (mqtt_.want_write() ? POLLOUT : 0)), 0},
        {driver_.output_fd(), POLLIN, 0},
        {driver_.report_fd(), POLLIN, 0},
        {driver_.exit_fd(), POLLIN, 0},
        {driver_.error_fd(), POLLIN, 0},
        {packer_.wake_fd(), POLLIN, 0}};
    const long long now = steady_ms();
    // Ready once Home Assistant can see it: the broker reached, and the
    // program through its handshake or the reason it is not running published.
    const long long ping_in =
        manager_.pass(now, connected_ && (program_ready_ || restart_at_ms_ >= 0));
    long long timeout = mqtt_.has_events() ? 0
                                           : std::min(next_timeout_ms(now),
                                                      std::max(0LL, mqtt_.next_io_ms() - now));
    if (ping_in >= 0) timeout = std::min(timeout, ping_in);
    // Entries with a negative descriptor are skipped by poll.
    const int n = poll(fds, 7, static_cast<int>(timeout));
    if (n < 0 && errno != EINTR) {
      log_line(std::string("poll: ") + strerror(errno));
      break;
    }
    if (g_stop_signal != 0) break;
    mqtt_.io(steady_ms());
    for (const MqttEvent& e : mqtt_.take_events()) on_mqtt(e);
    const short ready = POLLIN | POLLHUP | POLLERR;
    if (n > 0 && fds[5].fd >= 0 && (fds[5].revents & ready)) driver_.read_errors();
    if (n > 0 && ((fds[2].fd >= 0 && (fds[2].revents & ready)) ||
                  (fds[3].fd >= 0 && (fds[3].revents & ready)))) {
      on_driver_output();
    }
    if (n > 0 && fds[4].fd >= 0 && (fds[4].revents & POLLIN) && driver_.running()) {
      // It has ended: what it wrote last, then its status.
      on_driver_output();
      int status = 0;
      if (driver_.running() && driver_.reap(&status)) on_driver_exit(status);
    }
    if (n > 0 && fds[6].fd >= 0 && (fds[6].revents & POLLIN)) on_record_packed();
    loop_once();
    // What the pass published goes out before the next wait.
    if (mqtt_.want_write()) mqtt_.io(steady_ms());
    for (const MqttEvent& e : mqtt_.take_events()) on_mqtt(e);
  }
  log_line(std::string("stopping (") + strsignal(g_stop_signal.load()) + ")");
  manager_.stopping();
  shut_down();
  return 0;
}

long long Service::next_timeout_ms(long long now) const {
  long long due = now + 60000;
  if (restart_at_ms_ >= 0) due = std::min(due, restart_at_ms_);
  if (record_wanted_) due = std::min(due, now + kRecordPollMs);
  due = std::min(due, health_due_ms_);
  // Reaping without a pidfd: look again now and then once its output has ended.
  if (driver_.running() && driver_.output_fd() < 0 && driver_.exit_fd() < 0) {
    due = std::min(due, now + 20);
  }
  for (const Step& s : steps_) due = std::min(due, s.due_ms);
  const long long expiry = answers_.next_expiry_ms();
  if (expiry >= 0) due = std::min(due, now + std::max(0LL, expiry - unix_ms_now()));
  return std::max(0LL, due - now);
}

void Service::loop_once() {
  const long long now = steady_ms();
  int status = 0;
  if (driver_.running() && driver_.output_fd() < 0 && driver_.reap(&status)) {
    on_driver_exit(status);
  }
  if (!driver_.running() && restart_at_ms_ >= 0 && now >= restart_at_ms_) start_driver();
  run_answer_steps();
  for (int room : answers_.expire(unix_ms_now())) {
    log_line("room " + std::to_string(room) + ": answer back to " +
             answer_mode_name(answers_.mode(room)));
    publish_answer(room);
  }
  send_due_codes();
  if (record_wanted_) poll_record();
  if (now >= health_due_ms_) publish_health();
  flush();
}

// ---- the program

void Service::start_driver() {
  restart_at_ms_ = -1;
  program_ready_ = false;
  info_ = json::object();
  settle(pacer_.reset());
  steps_.clear();
  tracker_.on_program_start();
  room_call_ = -1;
  program_state_ = "starting";
  publish_health();
  std::string error;
  const std::vector<std::string> argv = driver_argv(config_);
  std::vector<std::string> env;
  recording_ = false;
  if (config_.record) {
    const std::string dir = config_.record_dir();
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      log_line("no flight record: cannot make " + dir + ": " + strerror(errno));
    } else {
      // The last run's record stays, one generation back; the new one
      // appears when the program ends or is asked for it.
      rename(config_.record_path().c_str(), (config_.record_path() + ".previous").c_str());
      env.push_back("ZUL_RECORD=" + config_.record_path());
      recording_ = true;
    }
  }
  if (!driver_.start(argv, config_.working_directory, room_lists_text(config_), env, &error)) {
    log_line("cannot start the program: " + error);
    on_driver_exit(127);
    return;
  }
  driver_started_ms_ = steady_ms();
  std::string words;
  for (const std::string& a : argv) words += (words.empty() ? "" : " ") + a;
  log_line("program started (pid " + std::to_string(driver_.pid()) + "): " + words);
}

void Service::on_driver_output() {
  // The reports are read first and acted on last: a line the program
  // printed before a report is then always read with it, so a report never
  // comes before the dial it follows (the reject of a blacklisted call).
  std::vector<std::string> reports;
  driver_.read_reports(&reports);
  std::vector<std::string> lines;
  driver_.read_lines(&lines);
  for (const std::string& line : lines) on_program_line(line);
  for (const std::string& line : reports) on_report_line(line);
  int status = 0;
  if (driver_.output_fd() < 0 && driver_.reap(&status)) on_driver_exit(status);
}

void Service::on_report_line(const std::string& line) {
  const ProgramReport r = parse_report_line(line);
  if (verbose_) log_line("program reports: " + line);
  if (r.kind == ProgramReport::Kind::kUnknown) {
    log_line("program reports \"" + line + "\": not understood");
    return;
  }
  if (r.kind == ProgramReport::Kind::kLost) {
    log_line("the program could not report " + std::to_string(r.number) +
             " times; the codes it had in hand are given up");
  }
  if (r.kind == ProgramReport::Kind::kOwnFull) {
    log_line("the program's queue was full: its own code " + std::to_string(r.number) +
             " was lost");
  }
  std::vector<Settled> settled = pacer_.on_report(r);
  if (const auto& m = pacer_.mismatch()) {
    log_line("the program reports \"" + std::string(m->report) + " " + std::to_string(m->reported) +
             "\" where the bridge expected code " + std::to_string(m->expected) +
             ": the codes it had in hand are given up as unknown");
  }
  settle(settled);
  send_due_codes();
}

void Service::settle(const std::vector<Settled>& settled) {
  for (const Settled& s : settled) {
    auto it = pending_results_.find(s.ticket);
    if (it == pending_results_.end()) continue;
    json result = std::move(it->second.result);
    const int room = it->second.room;
    if (s.outcome == Outcome::kRun) {
      history_.on_action(it->second.call, it->second.action, it->second.by);
    }
    pending_results_.erase(it);
    const std::string code = std::to_string(s.code);
    std::string reason;
    switch (s.outcome) {
      case Outcome::kRun:
        break;
      case Outcome::kSkipped:
        reason =
            "the program took code " + code + " and had nothing to do with it: the call changed";
        break;
      case Outcome::kLost:
        reason = "the program's queue was full: code " + code + " was lost";
        break;
      case Outcome::kDropped:
        reason = "its call ended before the program could take code " + code;
        break;
      case Outcome::kEnded:
        reason = "the program ended before it acted on code " + code;
        break;
      case Outcome::kUnknown:
        reason = "the program's reports of code " + code +
                 " were lost or did not match it: it may have acted on it";
        break;
    }
    // Neither true nor false when nobody can tell whether the program acted.
    if (s.outcome == Outcome::kUnknown) {
      result["accepted"] = nullptr;
    } else {
      result["accepted"] = reason.empty();
    }
    if (reason.empty()) {
      result["code"] = s.code;
    } else {
      result["reason"] = reason;
    }
    log_line(std::string(room >= 0 ? "room " + std::to_string(room) + " command " : "command ") +
             result.value("action", std::string("?")) +
             (reason.empty()                   ? ": the program runs code " + code
              : s.outcome == Outcome::kUnknown ? ": outcome unknown: " + reason
                                               : ": not carried out: " + reason));
    publish_result(result, room);
  }
  finish_history();
}

void Service::on_driver_exit(int status) {
  const long long now = steady_ms();
  if (driver_started_ms_ > 0 && now - driver_started_ms_ >= kRestartHealthyMs) {
    restart_backoff_ms_ = kRestartFirstMs;
  }
  // In the program's own words when it said why on standard error: "SPI is
  // switched off" tells an installer what to do, a status alone does not.
  const std::string reason = exit_reason(status, driver_.last_error_line());
  json event = {{"event", "driver_exit"},
                {"status", status},
                {"reason", reason},
                {"restart_in_ms", restart_backoff_ms_}};
  log_line("program ended: " + reason + " (status " + std::to_string(status) +
           "); starting it again in " + std::to_string(restart_backoff_ms_ / 1000) + " s");
  publish_event(event);
  ++restarts_;
  program_state_ = "restarting";
  program_reason_ = reason + " (status " + std::to_string(status) + ")";
  if (record_wanted_) poll_record();  // its last record answers a request
  if (record_wanted_) finish_record("the program ended without writing its record");
  if (recording_) {
    std::string why;
    const std::string kept = keep_exit_record(config_.record_path(), config_.record_dir(),
                                              unix_ms_now(), status, config_.records_kept, &why);
    log_line(kept.empty() ? "no record of this exit: " + why : "its record is kept in " + kept);
    recording_ = false;
  }
  room_call_ = -1;
  publish_health();
  restart_at_ms_ = now + restart_backoff_ms_;
  restart_backoff_ms_ = std::min(kRestartMaxMs, restart_backoff_ms_ * 2);
  program_ready_ = false;
  settle(pacer_.reset());
  steps_.clear();
  finish_history(true);
  if (tracker_.state() != CallState::kIdle) {
    tracker_.on_program_start();
    publish_call();
  }
}

void Service::on_program_line(const std::string& line) {
  const ProgramLine p = parse_program_line(line);
  using K = ProgramLine::Kind;
  if (verbose_) log_line("program: " + line);
  switch (p.kind) {
    case K::kVersionBanner:
    case K::kIntercom:
    case K::kFirmware:
    case K::kShield:
      on_handshake_line(p);
      return;
    case K::kOther:
      if (!verbose_ && line.rfind("Error", 0) == 0) log_line("program: " + line);
      return;
    default:
      on_call_line(p);
      return;
  }
}

void Service::on_handshake_line(const ProgramLine& p) {
  switch (p.kind) {
    case ProgramLine::Kind::kVersionBanner:
      version_ = p.text;
      return;
    case ProgramLine::Kind::kIntercom:
      info_ = json::object();
      info_["intercom"] = p.number;
      return;
    case ProgramLine::Kind::kFirmware:
      info_["firmware"] = p.number;
      return;
    default:  // the shield, its last line
      break;
  }
  info_["shield"] = p.number;
  info_["version"] = version_;
  set_state(topics_.info(), info_);
  if (program_ready_) return;
  program_ready_ = true;
  program_state_ = "running";
  program_reason_.clear();
  publish_health();
  if (!pacer_.program_reports()) {
    log_line(std::string("the program does not report what it does with codes (") +
             kReportFdVariable + "): commands are refused; install a newer zul_stm_driver");
  }
  log_line("program ready: intercom " + json_text(info_.value("intercom", json())) + ", shield " +
           std::to_string(p.number) + ", firmware " + json_text(info_.value("firmware", json())));
}

void Service::on_call_line(const ProgramLine& p) {
  using K = ProgramLine::Kind;
  const bool changed = tracker_.on_line(p);
  if (p.kind == K::kDial) {
    room_call_ = tracker_.route() == Route::kImitated ? static_cast<int>(p.number) : -1;
  }
  publish_event(event_of(p, tracker_.route()));
  if (p.kind == K::kDrop) room_call_ = -1;
  if (changed) publish_call();
  if (p.kind == K::kDial) {
    on_dial();
  } else if (p.kind == K::kDrop) {
    steps_.clear();
    history_.mark_ended(iso_time_now());
    finish_history();
  } else if (p.kind == K::kPickup) {
    history_.on_handset();
  } else if (p.kind == K::kCommon) {
    history_.on_common();
  }
}

void Service::on_dial() {
  const long long now = steady_ms();
  const long call = *tracker_.call_id();
  const int room = *tracker_.room();
  log_line("call " + std::to_string(call) + ": room " + std::to_string(room) + ", " +
           route_name(tracker_.route()));
  settle(pacer_.drop_other_calls(call));
  steps_.clear();
  finish_history(true);
  if (tracker_.route() != Route::kImitated) return;
  history_.start(room, call, iso_time_now());
  const auto mode = answers_.mode(room);
  for (const AnswerStep& s : answers_.on_dial(room)) {
    steps_.push_back({now + s.after_ms, call, s.action});
  }
  if (mode != AnswerMode::kManual) {
    log_line("call " + std::to_string(call) + ": answering " + answer_mode_name(mode));
  }
  publish_answer(room);
}

void Service::send_due_codes() {
  while (auto code = pacer_.take()) {
    if (!driver_.write_code(*code)) {
      log_line("code " + std::to_string(*code) + " not sent: the program does not read");
    } else if (verbose_) {
      log_line("sent code " + std::to_string(*code));
    }
  }
}

// ---- commands and answers

void Service::accept(Action action, const Decision& d, long call, json result, int room) {
  const long ticket = next_ticket_++;
  const Actor by = result.contains("source") ? Actor::kAnswer
                   : room >= 0               ? Actor::kHousehold
                                             : Actor::kOperator;
  pending_results_[ticket] = {std::move(result), room, call, action, by};
  pacer_.push(d.code, action == Action::kRelay ? 0 : call, ticket);
  publish_call();
  send_due_codes();
}

void Service::on_command(const std::string& payload, int room) {
  const ParsedCommand parsed = parse_command(payload);
  json result = json::object();
  if (parsed.id) result["id"] = *parsed.id;
  if (parsed.action) result["action"] = *parsed.action;
  const std::string room_text = std::to_string(room);
  Decision d;
  if (!parsed.command) {
    d.reason = parsed.error;
  } else if (room >= 0 && parsed.command->action == Action::kRelay) {
    result["action"] = action_name(parsed.command->action);
    d.reason = "relays are not reachable from a room's topic";
  } else if (!driver_.running() || !program_ready_) {
    d.reason = driver_.running() ? "the program is starting" : "the program is not running";
  } else if (room >= 0 && (room_call_ != room || tracker_.state() == CallState::kIdle)) {
    // A household acts on its own call alone; whose call it is otherwise is
    // none of its business.
    result["action"] = action_name(parsed.command->action);
    d.reason = "no call to room " + room_text + " is in progress";
  } else {
    const Command& c = *parsed.command;
    result["action"] = action_name(c.action);
    if (c.action == Action::kRelay) result["relay"] = c.relay;
    if (!pacer_.program_reports()) {
      d.reason = std::string("the program does not report what it does with codes (") +
                 kReportFdVariable + "); install a newer zul_stm_driver";
    } else if (pacer_.waiting() >= kMaxCodesWaiting) {
      // The program takes one code per pass and each may hold it for
      // seconds; a code accepted behind a long queue would act long after
      // the caller meant it. Checked before the tracker moves its state.
      d.reason = "the program is busy: " + std::to_string(pacer_.waiting()) + " codes are waiting";
    } else {
      d = tracker_.decide(c.action, c.relay);
    }
    if (d.accepted) {
      log_line(std::string(room >= 0 ? "room " + room_text + " command " : "command ") +
               action_name(c.action) + ": code " + std::to_string(d.code) + " for the program");
      accept(c.action, d, tracker_.call_id().value_or(0), result, room);
      return;
    }
  }
  result["accepted"] = false;
  result["reason"] = d.reason;
  log_line(std::string(room >= 0 ? "room " + room_text + " command " : "command ") +
           result.value("action", std::string("?")) + ": refused: " + d.reason);
  publish_result(result, room);
}

void Service::run_answer_steps() {
  const long long now = steady_ms();
  std::vector<Step> due;
  std::vector<Step> later;
  for (const Step& s : steps_) (s.due_ms <= now ? due : later).push_back(s);
  if (due.empty()) return;
  steps_ = later;
  std::sort(due.begin(), due.end(),
            [](const Step& a, const Step& b) { return a.due_ms < b.due_ms; });
  for (const Step& s : due) {
    if (tracker_.call_id().value_or(0) != s.call) continue;
    Decision d;
    if (!pacer_.program_reports()) {
      d.reason = std::string("the program does not report what it does with codes (") +
                 kReportFdVariable + ")";
    } else {
      d = tracker_.decide(s.action, 0);
    }
    json result = {{"action", action_name(s.action)}, {"source", "answer"}, {"call", s.call}};
    if (d.accepted) {
      accept(s.action, d, s.call, result);
    } else {
      result["accepted"] = false;
      result["reason"] = d.reason;
      // The call went on without the answer (dropped, or taken at its handset).
      steps_.erase(std::remove_if(steps_.begin(), steps_.end(),
                                  [&](const Step& o) { return o.call == s.call; }),
                   steps_.end());
    }
    log_line("call " + std::to_string(s.call) + ": answer " + action_name(s.action) +
             (d.accepted ? "" : " skipped: " + d.reason));
    if (!d.accepted) {
      publish_result(result);
      break;
    }
  }
}

void Service::on_answer_set(const InTopic& in, const std::string& payload, bool household) {
  const std::string& room_text = in.room_text;
  const int room = in.room;
  json result = {{"action", "answer"}, {"room", room_text}};
  std::string why = room < 0 ? not_a_room(room_text) : answers_.set(room, payload, unix_ms_now());
  if (room >= 0) result["room"] = room;
  result["accepted"] = why.empty();
  const std::string who = household ? "room " + room_text + "'s household: " : "";
  if (!why.empty()) {
    result["reason"] = why;
    log_line(who + "answer for room " + room_text + " refused: " + why);
  } else {
    log_line(who + "answer for room " + room_text + ": " + json_text(answers_.state_json(room)));
    publish_answer(room);
    result["mode"] = answer_mode_name(answers_.mode(room));
  }
  if (!household) {
    publish_result(result);
  } else {
    // Where its sender looks, whatever the room it names.
    publish_result_on(
        room >= 0 ? topics_.room_command_result(room) : topics_.room_command_result(room_text),
        result);
  }
}

// ---- publishing

void Service::publish_event(json event) {
  json e = {{"time", iso_time_now()}};
  e.update(event);
  tracker_.add_call_fields(&e);
  const std::string text = json_text(e);
  outbox_.push({topics_.event(), text, 1, false});
  const std::string name = e.value("event", std::string());
  if (room_call_ >= 0 && name != "signal" && name != "driver_exit") {
    outbox_.push({topics_.room_event(room_call_), text, 1, false});
  }
  flush();
}

void Service::publish_result(json result, int room) {
  publish_result_on(room >= 0 ? topics_.room_command_result(room) : topics_.command_result(),
                    std::move(result));
}

void Service::publish_result_on(const std::string& topic, json result) {
  outbox_.push({topic, json_text(result), 1, false});
  flush();
}

void Service::publish_health() {
  health_due_ms_ = steady_ms() + kHealthEveryMs;
  json health = {{"program", program_state_},
                 {"restarts", restarts_},
                 {"waiting", outbox_.waiting() + outbox_.in_flight()}};
  if (!program_reason_.empty()) health["reason"] = program_reason_;
  set_state(topics_.health(), health);
  report_status();
}

void Service::report_status() {
  manager_.status("program " + program_state_ +
                  (program_reason_.empty() ? "" : ": " + program_reason_) + "; " +
                  std::to_string(restarts_) + " restarts; " +
                  std::to_string(outbox_.waiting() + outbox_.in_flight()) + " events waiting; " +
                  (connected_ ? "broker connected" : "broker not connected"));
}

void Service::set_state(const std::string& topic, const json& value) {
  const std::string payload = json_text(value);
  auto it = states_.find(topic);
  if (it != states_.end() && it->second == payload) return;
  states_[topic] = payload;
  dirty_.insert(topic);
  flush();
}

void Service::publish_call() {
  set_state(topics_.call(), tracker_.call_json());
  // Each household sees its own room's call, or idle.
  for (int room : config_.imitate) {
    const bool its_call = room == room_call_ && tracker_.state() != CallState::kIdle;
    json call = its_call ? tracker_.call_json() : json{{"state", "idle"}, {"room", room}};
    set_state(topics_.room_call(room), call);
  }
}

void Service::publish_answer(int room) {
  const json state = answers_.state_json(room);
  set_state(topics_.answer(room), state);
  set_state(topics_.room_answer(room), state);
}

void Service::finish_history(bool now) {
  const std::optional<long> call = history_.open_call();
  if (!call || (!now && !history_.ended())) return;
  if (!now) {
    for (const auto& [ticket, pending] : pending_results_) {
      if (pending.call == *call && pending.action != Action::kRelay) return;
    }
  }
  const int room = history_.finish(iso_time_now());
  if (room >= 0) set_state(topics_.room_history(room), history_.record(room));
}

void Service::on_history_read(const MqttEvent& e, int room) {
  // Only the broker's retained copy is read back, once: what comes later is
  // this run's own publication.
  if (!e.retained || e.payload.empty() || !history_read_.insert(room).second) return;
  const json record = json::parse(e.payload, nullptr, false);
  if (!history_.restore(room, record)) {
    log_line("the retained history of room " + std::to_string(room) +
             " has no list of calls: it is replaced at the room's next call");
    if (!history_.has(room)) return;
  } else {
    log_line("history of room " + std::to_string(room) +
             " read back: " + std::to_string(record["calls"].size()) + " calls");
  }
  set_state(topics_.room_history(room), history_.record(room));
}

void Service::publish_discovery() {
  for (const Message& m : discovery_messages(config_, ZUL_BRIDGE_VERSION)) mqtt_.publish(m);
}

void Service::on_retained_elsewhere(const MqttEvent& e) {
  if (!e.retained || e.payload.empty() || announced_.count(e.topic)) return;
  for (const std::string& pattern : stale_patterns(config_)) {
    bool matches = false;
    mosquitto_topic_matches_sub(pattern.c_str(), e.topic.c_str(), &matches);
    if (matches) {
      // Left by an earlier configuration (a room no longer imitated, room
      // devices turned off): an empty retained message removes it.
      log_line("clearing " + e.topic + ": no longer announced");
      mqtt_.publish({e.topic, "", 1, true});
      return;
    }
  }
}

// ---- the flight record

void Service::on_record_get() {
  if (!config_.record) {
    publish_result({{"action", "record"},
                    {"accepted", false},
                    {"reason", "the flight record is off (driver.record = false)"}});
    return;
  }
  // The one on its way answers this request too.
  if (record_wanted_ || packer_.busy()) return;
  if (!driver_.running() || !recording_ || !program_ready_) {
    // Before its handshake report the program may not have taken SIGUSR1
    // over yet, and the signal's default would end it.
    finish_record(!driver_.running() ? "the program is not running"
                  : !recording_      ? "the program runs without a flight record"
                                     : "the program is starting");
    return;
  }
  // Out of the way first: the record that appears is the one asked for.
  const std::string path = config_.record_path();
  rename(path.c_str(), (path + ".previous").c_str());
  kill(driver_.pid(), SIGUSR1);
  record_wanted_ = true;
  record_deadline_ms_ = steady_ms() + kRecordWaitMs;
  log_line("flight record asked for");
}

void Service::poll_record() {
  if (record_complete(config_.record_path())) {
    finish_record("");
  } else if (steady_ms() >= record_deadline_ms_) {
    finish_record("the program wrote no record within " + std::to_string(kRecordWaitMs / 1000) +
                  " s");
  }
}

void Service::finish_record(const std::string& why_not) {
  record_wanted_ = false;
  std::string why = why_not;
  if (why.empty()) {
    // Opened here, read on the packer's thread: the program's next write,
    // or the bridge keeping it as an exit record, renames another file
    // over the name or this one away, and the open file stays the record
    // asked for.
    const std::string path = config_.record_path();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      packer_.start(fd);
      on_record_packed();  // done already when the packer has no thread
      return;
    }
    why = "cannot read " + path + ": " + strerror(errno);
  }
  json result = {{"action", "record"}};
  result["accepted"] = false;
  result["reason"] = why;
  log_line("flight record not published: " + why);
  publish_result(result);
}

void Service::on_record_packed() {
  std::optional<PackedRecord> packed = packer_.take();
  if (!packed) return;
  json result = {{"action", "record"}};
  std::string why = packed->error;
  if (why.empty()) {
    // Not retained: a record is for whoever asked, now.
    if (!mqtt_.publish({topics_.record(), packed->payload, 1, false})) {
      why = "the broker connection did not take it";
    } else {
      result["bytes"] = packed->bytes;
      result["published_bytes"] = packed->payload.size();
      result["encoding"] = packed->gzipped ? "gzip" : "text";
      log_line("flight record published: " + std::to_string(packed->bytes) + " bytes" +
               (packed->gzipped ? ", " + std::to_string(packed->payload.size()) + " gzipped" : ""));
    }
  }
  result["accepted"] = why.empty();
  if (!why.empty()) {
    result["reason"] = why;
    log_line("flight record not published: " + why);
  }
  publish_result(result);
}

void Service::flush() {
  if (!connected_) return;
  for (auto it = dirty_.begin(); it != dirty_.end();) {
    if (!mqtt_.publish({*it, states_[*it], 1, true})) return;
    it = dirty_.erase(it);
  }
  while (auto m = outbox_.next(kMaxInFlight)) {
    int mid = 0;
    std::string error;
    if (!mqtt_.publish(*m, &mid, &error)) {
      outbox_.unget(std::move(*m));
      return;
    }
    event_mids_.insert(mid);
    outbox_.sent();
  }
}

void Service::on_connected() {
  connected_ = true;
  log_line("connected to the broker " + mqtt_.broker().text() + "; " +
           std::to_string(outbox_.waiting()) + " messages waiting" +
           (outbox_.dropped() ? ", " + std::to_string(outbox_.dropped()) + " dropped so far" : ""));
  // Subscribed before "online": the broker handles one connection's packets
  // in order, so a command sent by whoever saw "online" finds the bridge
  // listening.
  mqtt_.subscribe(topics_.command(), 1);
  mqtt_.subscribe(topics_.answer_set_filter(), 1);
  mqtt_.subscribe(topics_.room_command_filter(), 1);
  mqtt_.subscribe(topics_.room_answer_set_filter(), 1);
  mqtt_.subscribe(topics_.record_get(), 1);
  mqtt_.publish({topics_.status(), "online", 1, true});
  // After "online": what the broker keeps for it now is that. A will of an
  // earlier connection, sent late by a broker or a cluster's node that had
  // not noticed the connection's end, would say otherwise; it is answered.
  mqtt_.subscribe(topics_.status(), 1);
  for (const std::string& pattern : stale_patterns(config_)) mqtt_.subscribe(pattern, 1);
  if (config_.discovery) {
    mqtt_.subscribe(topics_.discovery_status(), 1);
    publish_discovery();
  }
  // The broker may have lost its retained records with its store.
  for (const auto& [topic, payload] : states_) dirty_.insert(topic);
  publish_health();
  flush();
}

void Service::on_mqtt(const MqttEvent& e) {
  switch (e.type) {
    case MqttEvent::Type::kConnected:
      on_connected();
      break;
    case MqttEvent::Type::kConnectFailed:
      log_line("broker " + e.topic + " not reached: " + e.payload +
               (config_.brokers.size() > 1 ? "; trying the next" : "; trying again"));
      break;
    case MqttEvent::Type::kDisconnected:
      if (connected_) {
        log_line("disconnected from the broker " + e.topic + ": " + e.payload +
                 (config_.brokers.size() > 1 ? "; events are kept until a broker is back"
                                             : "; events are kept until it is back"));
      }
      connected_ = false;
      report_status();
      break;
    case MqttEvent::Type::kPublished:
      if (event_mids_.erase(e.code)) outbox_.acknowledged();
      flush();
      break;
    case MqttEvent::Type::kMessage:
      on_message(e);
      break;
  }
}

void Service::on_message(const MqttEvent& e) {
  if (e.topic == topics_.status()) {
    if (e.payload != "online" && connected_) {
      log_line("the broker says \"" + e.payload +
               "\" for this bridge (the will of an earlier connection): online again");
      mqtt_.publish({topics_.status(), "online", 1, true});
    }
    return;
  }
  const InTopic in = topics_.parse(e.topic);
  switch (in.kind) {
    case InTopic::Kind::kRoomCommand:
      on_room_command(e, in);
      return;
    case InTopic::Kind::kRecordGet:
      if (e.retained) {
        log_line("retained message on " + e.topic + " ignored: a record is asked for when sent");
      } else {
        on_record_get();
      }
      return;
    case InTopic::Kind::kCommand:
      if (e.retained) {
        log_line("retained message on " + e.topic + kRetained);
        publish_result({{"accepted", false}, {"reason", kRetainedReason}});
      } else {
        on_command(e.payload);
      }
      return;
    case InTopic::Kind::kAnswerSet:
      if (e.retained) {
        log_line("retained message on " + e.topic + kRetained);
      } else {
        on_answer_set(in, e.payload);
      }
      return;
    case InTopic::Kind::kRoomAnswerSet:
      if (e.retained) {
        // Its sender hears why: a household has no log to read.
        log_line("retained message on " + e.topic + kRetained);
        publish_result_on(in.room >= 0 ? topics_.room_command_result(in.room)
                                       : topics_.room_command_result(in.room_text),
                          {{"action", "answer"}, {"accepted", false}, {"reason", kRetainedReason}});
      } else {
        on_answer_set(in, e.payload, true);
      }
      return;
    case InTopic::Kind::kRoomHistory:
      if (in.room >= 0 && config_.imitated(in.room)) {
        on_history_read(e, in.room);
        return;
      }
      break;
    case InTopic::Kind::kDiscoveryStatus:
      if (e.payload == "online") {
        log_line("Home Assistant is online: discovery published again");
        publish_discovery();
        return;
      }
      break;
    case InTopic::Kind::kOther:
      break;
  }
  on_retained_elsewhere(e);
}

void Service::on_room_command(const MqttEvent& e, const InTopic& in) {
  // Answered where its sender looks, whatever the room it names.
  const std::string result_topic = in.room >= 0 ? topics_.room_command_result(in.room)
                                                : topics_.room_command_result(in.room_text);
  if (e.retained) {
    log_line("retained message on " + e.topic + kRetained);
    publish_result_on(result_topic, {{"accepted", false}, {"reason", kRetainedReason}});
  } else if (in.room < 0) {
    log_line("command on " + e.topic + " refused: " + not_a_room(in.room_text));
    publish_result_on(result_topic, {{"accepted", false}, {"reason", not_a_room(in.room_text)}});
  } else if (!config_.imitated(in.room)) {
    publish_result_on(result_topic,
                      {{"accepted", false},
                       {"reason", "room " + std::to_string(in.room) + " is not imitated here"}});
  } else {
    on_command(e.payload, in.room);
  }
}

void Service::shut_down() {
  bool killed = false;
  if (driver_.running()) {
    const int status = driver_.stop(kStopGraceMs, &killed);
    log_line(std::string("program stopped") + (killed ? " with SIGKILL" : "") + " (status " +
             std::to_string(status) + ")");
  }
  // What is still waiting goes out while the broker is there, for a moment.
  const long long until = steady_ms() + 2000;
  while (connected_ && (outbox_.waiting() > 0 || outbox_.in_flight() > 0 || !dirty_.empty()) &&
         steady_ms() < until) {
    struct pollfd fd = {mqtt_.socket(),
                        static_cast<short>(POLLIN | (mqtt_.want_write() ? POLLOUT : 0)), 0};
    poll(&fd, 1, 50);
    mqtt_.io(steady_ms());
    for (const MqttEvent& e : mqtt_.take_events()) {
      if (e.type != MqttEvent::Type::kMessage) on_mqtt(e);
    }
    flush();
  }
  if (outbox_.waiting() > 0) {
    log_line(std::to_string(outbox_.waiting()) + " events not published");
  }
  mqtt_.stop({topics_.status(), "offline", 1, true}, connected_ ? 2000 : 0);
  log_line("stopped");
}

}  // namespace bridge
