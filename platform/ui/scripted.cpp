// The scripted dialog service: answers from a JSON-lines script, every
// dialog logged as one JSON line.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ui/dialogs.h"

namespace velmora::ui {

namespace {

using ojson = nlohmann::ordered_json;

const char kMask[] = "***";

std::string masked(const std::string& value) { return value.empty() ? std::string() : std::string(kMask); }

std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

bool blank(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

std::vector<std::string> splitList(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t comma = s.find(',', start);
    if (comma == std::string::npos) comma = s.size();
    std::string item = s.substr(start, comma - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    if (!item.empty()) out.push_back(item);
    start = comma + 1;
  }
  return out;
}

// A JSON scalar as the text a user would have typed.
std::string scalarText(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return {};
  return v.dump();
}

// Appends one line to the log: created with mode 0600, one write per line.
void appendLine(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::fchmod(fd, 0600);  // exact, whatever the umask
  } else if (errno == EEXIST) {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  }
  if (fd < 0) {
    std::fprintf(stderr, "velmora: cannot write the dialog log %s\n", path.c_str());
    return;
  }
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    p += n;
    left -= size_t(n);
  }
  ::close(fd);
}

ojson describeRequest(const DialogRequest& request) {
  ojson entry = ojson::object();
  entry["kind"] = request.kind;
  entry["title"] = request.title;
  entry["resourceId"] = request.resourceId;
  ojson texts = ojson::object();
  for (const auto& [name, value] : request.texts) texts[name] = value;
  entry["texts"] = texts;
  ojson fields = ojson::array();
  for (const auto& f : request.fields) {
    ojson jf = ojson::object();
    jf["name"] = f.name;
    jf["label"] = f.label;
    jf["value"] = f.password ? masked(f.value) : f.value;
    jf["password"] = f.password;
    jf["readOnly"] = f.readOnly;
    if (f.multiline) jf["multiline"] = true;
    if (f.minLength) jf["minLength"] = f.minLength;
    if (f.maxLength) jf["maxLength"] = f.maxLength;
    if (!f.mustMatch.empty()) jf["mustMatch"] = f.mustMatch;
    fields.push_back(jf);
  }
  entry["fields"] = fields;
  entry["columns"] = request.columns;
  entry["rows"] = request.rows;
  entry["buttons"] = request.buttons;
  entry["selected"] = request.selected;
  ojson options = ojson::object();
  for (const auto& [name, value] : request.options) options[name] = value;
  entry["options"] = options;
  return entry;
}

}  // namespace

ScriptedDialogService::ScriptedDialogService(std::string scriptPath, std::string logPath)
    : scriptPath_(std::move(scriptPath)), logPath_(std::move(logPath)) {}

int ScriptedDialogService::answersUsed() const {
  std::lock_guard lock(mutex_);
  return answers_;
}

DialogResult ScriptedDialogService::show(const DialogRequest& request) {
  std::lock_guard lock(mutex_);

  DialogResult result;  // cancelled unless the script answers
  for (const auto& f : request.fields) result.fields[f.name] = f.value;

  std::string source = "script";
  std::string error;
  int line = 0;
  ojson answerFields = ojson::object();

  // The next non-blank line of the script.
  std::string text;
  bool haveLine = false;
  if (scriptPath_.empty()) {
    source = "missing";
  } else {
    std::ifstream in(scriptPath_, std::ios::binary);
    if (!in) {
      source = "missing";
    } else {
      in.seekg(offset_);
      while (in && std::getline(in, text)) {
        const bool newline = !in.eof();
        offset_ += (long long)text.size() + (newline ? 1 : 0);
        ++lineNumber_;
        if (blank(text)) continue;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        haveLine = true;
        break;
      }
      if (!haveLine) source = "exhausted";
    }
  }

  if (haveLine) {
    ++answers_;
    line = lineNumber_;
    try {
      const nlohmann::json answer = nlohmann::json::parse(text);
      if (!answer.is_object()) throw std::runtime_error("not a JSON object");
      const auto kindIt = answer.find("dialog");
      if (kindIt != answer.end() && !(kindIt->is_string() && kindIt->get<std::string>() == request.kind)) {
        source = "mismatch";
        error = "the script answers \"" + scalarText(*kindIt) + "\", the dialog shown is \"" + request.kind + "\"";
      } else {
        std::string button = "ok";
        if (auto it = answer.find("button"); it != answer.end()) {
          if (!it->is_string()) throw std::runtime_error("\"button\" is not a string");
          button = lowerAscii(it->get<std::string>());
        }
        const auto disabled = splitList(request.option("disabled-buttons"));
        const bool known = std::find(request.buttons.begin(), request.buttons.end(), button) != request.buttons.end();
        const bool isDisabled = std::find(disabled.begin(), disabled.end(), button) != disabled.end();
        int row = request.selected;
        if (auto it = answer.find("row"); it != answer.end()) {
          if (!it->is_number_integer()) throw std::runtime_error("\"row\" is not an integer");
          row = it->get<int>();
        }
        if (button != "cancel" && (!known || isDisabled)) {
          source = "invalid";
          error = "the dialog has no " + std::string(isDisabled ? "enabled " : "") + "button \"" + button + "\"";
        } else if (answer.contains("row") && (row < 0 || size_t(row) >= request.rows.size())) {
          source = "invalid";
          error = "row " + std::to_string(row) + " is not one of the " + std::to_string(request.rows.size()) +
                  " rows";
        } else {
          result.button = button;
          result.row = row;
          for (const auto& f : request.fields) {
            auto it = answer.find(f.name);
            if (it == answer.end()) continue;
            result.fields[f.name] = scalarText(*it);
            answerFields[f.name] = f.password ? masked(result.fields[f.name]) : result.fields[f.name];
          }
        }
      }
    } catch (const nlohmann::json::parse_error& e) {
      // Only the position: the message quotes the text read, which may hold a password.
      source = "malformed";
      error = "not valid JSON (byte " + std::to_string(e.byte) + ")";
    } catch (const std::exception& e) {
      source = "malformed";
      error = e.what();
    }
    if (source != "script") {
      result.button = "cancel";
      result.row = -1;
      for (const auto& f : request.fields) result.fields[f.name] = f.value;
      answerFields = ojson::object();
    }
  }

  if (!logPath_.empty()) {
    ojson entry = ojson::object();
    entry["seq"] = ++sequence_;
    entry["pid"] = long(::getpid());
    const ojson described = describeRequest(request);
    for (const auto& item : described.items()) entry[item.key()] = item.value();
    entry["source"] = source;
    if (line) entry["line"] = line;
    if (!error.empty()) entry["error"] = error;
    ojson answer = ojson::object();
    answer["button"] = result.button;
    answer["row"] = result.row;
    answer["fields"] = answerFields;
    entry["answer"] = answer;
    appendLine(logPath_, entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  } else {
    ++sequence_;
  }
  return result;
}

}  // namespace velmora::ui
