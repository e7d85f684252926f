#include "status.h"

#include "vantrel/common/line_writer.h"

namespace vantrel::recorder {

namespace {
LineWriter& out() {
  static LineWriter writer(1);
  return writer;
}
}  // namespace

void writeStatus(const json::OrderedJson& line) {
  std::string text;
  try {
    text = json::encodeCompact(line);
  } catch (const json::EncodeError&) {
    return;
  }
  out().writeLine(text);
}

void writeRuntimeError(const std::string& error, const std::string& message) {
  json::OrderedJson o = json::OrderedJson::object();
  o["status"] = "error";
  o["error"] = error;
  o["message"] = message;
  writeStatus(o);
}

void writeFatal(const std::string& error, const std::string& message) {
  json::OrderedJson o = json::OrderedJson::object();
  o["error"] = error;
  o["message"] = message;
  writeStatus(o);
}

}  // namespace vantrel::recorder

#include <unistd.h>

#include <mutex>

namespace vantrel::recorder {

namespace {
std::mutex& exitMutex() {
  static std::mutex m;
  return m;
}
}  // namespace

void exitProcess(int code) {
  exitMutex().lock();
  // Status lines are written with write(2), so nothing is buffered; _exit
  // skips static destructors that other threads may still be using.
  _exit(code);
}

void fatalExit(const std::string& error, const std::string& message) {
  exitMutex().lock();
  writeFatal(error, message);
  _exit(1);
}

}  // namespace vantrel::recorder
