#include "cli/CliSupport.h"

#include <unistd.h>  // the standard descriptors

#include <chrono>
#include <csignal>

#include "core/TemporaryFolder.h"
#include "platform/PathText.h"
#include "platform/Process.h"

namespace brenvik::cli {
namespace {

constexpr Flag kCommonFlags[] = {
    {"cache-mode", "list|files",
     "how results are kept: \"list\" (One time load) keeps every row in memory; \"files\" (Cache files) "
     "lists the first 33 and keeps every result in a temporary result file. Without it, every row is "
     "listed as found and kept only in the temporary result file, so memory stays flat"},
    {"temporary-path", "DIR", "the Temporary path for result files (default: the program's own folder)"},
    {"json", "", "print rows as JSON lines instead of tab-separated columns"},
    {"help", "", "show this help"},
};

constexpr int kProgressWidth = 30;

// The text cut to fit one line of a terminal `columns` wide (East Asian characters take two), so
// that the carriage return goes back to its start instead of leaving wrapped lines behind.
std::u16string_view FitLine(std::u16string_view text, int columns) {
  if (columns <= 1) return text;
  int used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] >= 0xDC00 && text[i] < 0xE000) continue;  // the second half of a pair
    used += text[i] >= 0x1100 ? 2 : 1;
    if (used > columns - 1) return text.substr(0, i);
  }
  return text;
}

int TerminalColumns() {
  return brenvik::TerminalColumns(STDERR_FILENO);
}

// A JSON string of the text; lone surrogates (bytes of names that are not UTF-8) stay escapes.
std::string JsonString(std::u16string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      AppendUtf8(out, 0x10000 + ((uint32_t{c} - 0xD800) << 10) + (uint32_t{text[i + 1]} - 0xDC00));
      ++i;
    } else if (c == u'"' || c == u'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || (c >= 0xD800 && c < 0xE000)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      AppendUtf8(out, c);
    }
  }
  return out + "\"";
}

std::string TabCell(std::u16string_view text) {
  std::string out;
  for (const char c : TextToBytes(text)) {
    if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<int> gStop{0};

extern "C" void OnInterrupt(int) {
  // The first Ctrl+C is the Stop button; a second one does not wait for the job, but still takes
  // the run's temporary files along.
  if (gStop.exchange(1) != 0) {
    RemoveCreatedTemporaryFilesAtOnce();
    EndProcessAtOnce(kExitStopped);
  }
}

// A reader of the rows that went away (the end of a pipe) or a closed terminal stops the job like
// Stop, so the run still ends through its own clean-up; a later one must not cut that short.
extern "C" void OnOutputGone(int) { gStop.store(1); }

}  // namespace

bool Arguments::Parse(std::span<char* const> args, std::span<const Flag> flags, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg.size() < 3 || arg.substr(0, 2) != "--") {
      positional_.emplace_back(arg);
      continue;
    }
    arg.remove_prefix(2);
    std::optional<std::string> value;
    if (const size_t equals = arg.find('='); equals != std::string_view::npos) {
      value = std::string(arg.substr(equals + 1));
      arg = arg.substr(0, equals);
    }
    const Flag* flag = nullptr;
    for (const Flag& candidate : flags)
      if (candidate.name == arg) flag = &candidate;
    if (flag == nullptr) {
      error = "unknown flag --" + std::string(arg);
      return false;
    }
    if (flag->value.empty() && value) {
      error = "--" + std::string(arg) + " takes no value";
      return false;
    }
    if (!flag->value.empty() && !value) {
      if (i + 1 == args.size()) {
        error = "--" + std::string(arg) + " needs a value (" + std::string(flag->value) + ")";
        return false;
      }
      value = args[++i];
    }
    given_.emplace_back(std::string(arg), value.value_or(""));
  }
  return true;
}

bool Arguments::Has(std::string_view name) const {
  for (const auto& [flag, value] : given_)
    if (flag == name) return true;
  return false;
}

std::optional<std::string> Arguments::Value(std::string_view name) const {
  std::optional<std::string> last;
  for (const auto& [flag, value] : given_)
    if (flag == name) last = value;
  return last;
}

std::vector<std::string> Arguments::Values(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [flag, value] : given_)
    if (flag == name) values.push_back(value);
  return values;
}

std::span<const Flag> CommonFlags() { return kCommonFlags; }

std::optional<AppSettings> SettingsFrom(const Arguments& args, std::string& error) {
  AppSettings settings;
  if (const auto mode = args.Value("cache-mode")) {
    if (*mode == "list") settings.cacheMode = kCacheModeList;
    else if (*mode == "files") settings.cacheMode = kCacheModeFiles;
    else {
      error = "--cache-mode takes \"list\" or \"files\"";
      return std::nullopt;
    }
  }
  return settings;
}

int32_t ListedRows(const Arguments& args) { return args.Has("cache-mode") ? kCachePreviewRows : kEveryRow; }

bool PrepareTemporaryFolder(AppSettings& settings, const Arguments& args) {
  const std::optional<std::string> named = args.Value("temporary-path");
  settings.temporaryFolder =
      SettleTemporaryFolder(named ? std::optional<std::filesystem::path>(*named) : std::nullopt);
  return !settings.temporaryFolder.empty();
}

std::atomic<int>& StopFlag() { return gStop; }

void InstallStopHandler() {
  // Reads and writes go on; the job polls the flag between items.
  HandleSignals({SIGINT, SIGTERM}, OnInterrupt);
  HandleSignals({SIGPIPE, SIGHUP}, OnOutputGone);
}

Console::Console(bool json) : json_(json), terminal_(IsTerminal(STDERR_FILENO)) {}

void Console::Row(std::span<const std::string_view> columns, std::span<const std::u16string> cells,
                  std::span<const MachineValue> values) {
  EndProgress();
  std::string line;
  if (json_) {
    line = "{";
    const auto key = [&line](std::string_view name) {
      if (line.size() > 1) line += ",";
      line += JsonString(FromUtf8(name)) + ":";
    };
    for (const MachineValue& value : values) {
      key(value.key);
      if (const auto* number = std::get_if<int64_t>(&value.value)) line += std::to_string(*number);
      else line += JsonString(std::get<std::u16string>(value.value));
    }
    for (size_t i = 0; i < cells.size(); ++i) {
      key(i < columns.size() ? columns[i] : "");
      line += JsonString(cells[i]);
    }
    line += "}";
  } else {
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) line += '\t';
      line += TabCell(cells[i]);
    }
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void Console::Status(std::u16string_view text) {
  EndProgress();
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", Utf8(Translate(text)).c_str());
}

bool Console::throttled() {
  const int64_t now = NowMs();
  if (now - lastProgressMs_ < 100) return true;
  lastProgressMs_ = now;
  return false;
}

void Console::Progress(int64_t position, int64_t maximum) {
  if (!terminal_ || maximum <= 0 || throttled()) return;
  const int64_t filled = std::clamp<int64_t>(position * kProgressWidth / maximum, 0, kProgressWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kProgressWidth, ' ');
  std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), static_cast<int>(std::clamp<int64_t>(position * 100 / maximum, 0, 100)));
  progressShown_ = true;
}

void Console::ProgressText(std::u16string_view text) {
  if (!terminal_ || throttled()) return;
  std::fprintf(stderr, "\r%s\033[K", Utf8(FitLine(Translate(text), TerminalColumns())).c_str());
  progressShown_ = true;
}

void Console::EndProgress() {
  if (!progressShown_) return;
  std::fprintf(stderr, "\r\033[K");
  progressShown_ = false;
}

void PrintHelp(const Subcommand& command, std::FILE* out) {
  const std::string usage = command.usage.empty() ? std::string() : " " + std::string(command.usage);
  PrintText(out, "Usage: brenvik-cli " + std::string(command.name) + " [flags]" + usage + "\n\n");
  PrintText(out, std::string(command.summary) + "\n\n");
  PrintText(out, std::string(command.description) + "\n\n");
  PrintText(out, "Flags:\n");
  const auto print = [out](const Flag& flag) {
    std::string left = "  --" + std::string(flag.name);
    if (!flag.value.empty()) left += " " + std::string(flag.value);
    std::fprintf(out, "%-30s %s\n", left.c_str(), TranslateUtf8(flag.help).c_str());
  };
  for (const Flag& flag : command.flags) print(flag);
  for (const Flag& flag : CommonFlags()) print(flag);
  PrintText(out,
            "\nRows go to standard output; status and completion texts, and a progress line when it is a\n"
            "terminal, to standard error. Exit status: 0 the job did all that was asked, 1 it failed or did\n"
            "not finish its work, 2 an argument was refused (an unknown flag, a missing or bad value, a path\n"
            "that is not what the tool reads, an output that would change an input or another output or\n"
            "that is reached through a link), 130 stopped by Ctrl+C (the job ends where the Stop button\n"
            "ends it).\n");
}

void PrintText(std::FILE* out, std::string_view text) {
  const size_t begin = text.find_first_not_of('\n');
  if (begin == std::string_view::npos) {
    std::fwrite(text.data(), 1, text.size(), out);
    return;
  }
  const std::string translated = TranslateUtf8(text.substr(begin));
  std::fwrite(text.data(), 1, begin, out);
  std::fwrite(translated.data(), 1, translated.size(), out);
}

std::string Utf8(std::u16string_view text) { return TextToUtf8(text); }
std::u16string FromUtf8(std::string_view text) { return Utf8ToText(text); }

int Refuse(Console& console, std::u16string_view text) {
  console.Status(text);
  return kExitUsage;
}

int Fail(Console& console, std::u16string_view text) {
  console.Status(text);
  return kExitFailed;
}

}  // namespace brenvik::cli
