// Process runner for Windows: CreateProcessW without a console window, standard output
// through an anonymous pipe.
//
// Several runs may overlap, and the service holds many sockets: the child inherits
// exactly its three standard handles (an explicit handle list), never another run's pipe,
// which would keep that pipe open and make that run wait for its deadline. The child runs
// in a job object so that whatever it starts goes down with it when we give up on it.
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <thread>

#include "sys/process.h"
#include "sys/win_text.h"

namespace chair::sys {
namespace {

using Clock = std::chrono::steady_clock;

std::wstring widen(const std::string& s) { return utf8_to_wide(s); }

std::string error_text(DWORD err) {
  std::string out = system_message(err);
  return out.empty() ? "error " + std::to_string(err) : out;
}

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void reset(HANDLE h = nullptr) {
    if (h_ != nullptr) CloseHandle(h_);
    h_ = (h == INVALID_HANDLE_VALUE) ? nullptr : h;
  }

 private:
  HANDLE h_ = nullptr;
};

// One argument quoted so that the child's command-line parser gives it back unchanged:
// backslashes count only before a quote, where they are doubled.
void append_quoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// A bare program name is looked up on PATH only (with ".exe" added when it has no
// extension), never in the current directory, which CreateProcess would search first.
std::wstring resolve_program(const std::wstring& program) {
  if (program.find_first_of(L"\\/:") != std::wstring::npos) return program;
  std::wstring name = program;
  if (name.find(L'.') == std::wstring::npos) name += L".exe";
  DWORD need = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (need == 0) return {};
  std::wstring path(need, L'\0');
  DWORD got = GetEnvironmentVariableW(L"PATH", path.data(), need);
  path.resize(std::min<DWORD>(got, need));
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L';', start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring dir = path.substr(start, end - start);
    if (dir.size() >= 2 && dir.front() == L'"' && dir.back() == L'"') dir = dir.substr(1, dir.size() - 2);
    if (!dir.empty()) {
      std::wstring candidate = dir;
      if (candidate.back() != L'\\' && candidate.back() != L'/') candidate += L'\\';
      candidate += name;
      DWORD attrs = GetFileAttributesW(candidate.c_str());
      if (attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return candidate;
    }
    start = end + 1;
  }
  return {};
}

class AttributeList {
 public:
  explicit AttributeList(HANDLE* handles, size_t count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return;
    storage_ = std::make_unique<std::max_align_t[]>((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
      list_ = nullptr;
      return;
    }
    initialised_ = true;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, count * sizeof(HANDLE),
                                   nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list_);
      initialised_ = false;
      list_ = nullptr;
    }
  }
  ~AttributeList() {
    if (initialised_) DeleteProcThreadAttributeList(list_);
  }
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

 private:
  std::unique_ptr<std::max_align_t[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
  bool initialised_ = false;
};

// The started child until it has ended: whichever way run_process leaves, a child still
// running is terminated (with everything in its job) and waited for.
class Child {
 public:
  Child(HANDLE process, HANDLE job) : process_(process), job_(job) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (!ended_) {
      if (job_.get() != nullptr) TerminateJobObject(job_.get(), 1);
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  bool wait_until(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    DWORD ms = static_cast<DWORD>(std::clamp<long long>(left, 0, 60'000));
    ended_ = WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0;
    return ended_;
  }

 private:
  Handle process_;
  Handle job_;
  bool ended_ = false;
};

// The child's output until every writer has gone, at most `max_output` bytes, by `deadline`.
Result<std::string> read_to_end(HANDLE read_end, const std::string& program, size_t max_output,
                                Clock::time_point deadline) {
  std::string out;
  char buffer[64 * 1024];
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (Clock::now() >= deadline) return fail(program + " did not finish in time");
    DWORD available = 0;
    if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) {
      DWORD err = GetLastError();
      if (err == ERROR_BROKEN_PIPE) break;  // every writer is gone: the output is complete
      return fail("cannot read output of " + program + ": " + error_text(err));
    }
    if (available == 0) {
      // Anonymous pipes have no waitable read; a short, growing pause keeps the deadline.
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, std::chrono::milliseconds(20));
      continue;
    }
    pause = std::chrono::milliseconds(1);
    DWORD got = 0;
    DWORD want = std::min<DWORD>(available, sizeof buffer);
    if (!ReadFile(read_end, buffer, want, &got, nullptr)) {
      DWORD err = GetLastError();
      if (err == ERROR_BROKEN_PIPE) break;
      return fail("cannot read output of " + program + ": " + error_text(err));
    }
    if (out.size() + got > max_output) return fail("output of " + program + " is too large");
    out.append(buffer, got);
  }
  return out;
}

}  // namespace

Result<std::string> run_process(const std::string& program, const std::vector<std::string>& args,
                                const ProcessLimits& limits) {
  const auto deadline = Clock::now() + limits.timeout;

  std::wstring app = resolve_program(widen(program));
  if (app.empty()) return fail("cannot start " + program + ": " + error_text(ERROR_FILE_NOT_FOUND));
  std::wstring command_line;
  append_quoted(command_line, app);
  for (const auto& a : args) {
    command_line += L' ';
    append_quoted(command_line, widen(a));
  }

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_raw = nullptr, write_raw = nullptr;
  if (!CreatePipe(&read_raw, &write_raw, &inheritable, 0))
    return fail("cannot create pipe: " + error_text(GetLastError()));
  Handle read_end(read_raw), write_end(write_raw);
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  Handle null_in(
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr));
  Handle null_err(
      CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING, 0, nullptr));
  if (null_in.get() == nullptr || null_err.get() == nullptr)
    return fail("cannot prepare process start: " + error_text(GetLastError()));

  HANDLE inherited[] = {null_in.get(), write_end.get(), null_err.get()};
  AttributeList attributes(inherited, 3);
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = null_in.get();
  si.StartupInfo.hStdOutput = write_end.get();
  si.StartupInfo.hStdError = null_err.get();
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (attributes.get() != nullptr) {
    si.lpAttributeList = attributes.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  } else {
    si.StartupInfo.cb = sizeof si.StartupInfo;
  }

  PROCESS_INFORMATION pi{};
  BOOL started = CreateProcessW(app.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                &si.StartupInfo, &pi);
  DWORD start_error = started ? 0 : GetLastError();
  write_end.reset();  // only the child writes; our copy must go for the end of stream to come
  null_in.reset();
  null_err.reset();
  if (!started) return fail("cannot start " + program + ": " + error_text(start_error));

  Handle job(CreateJobObjectW(nullptr, nullptr));
  if (job.get() != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &info, sizeof info) ||
        !AssignProcessToJobObject(job.get(), pi.hProcess)) {
      job.reset();  // the child alone is terminated then
    }
  }
  // Closing the job at the end also ends whatever the child left running.
  Child child(pi.hProcess, job.release());
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);

  auto out = read_to_end(read_end.get(), program, limits.max_output, deadline);
  if (!out) return out;
  read_end.reset();

  if (!child.wait_until(deadline)) return fail(program + " did not finish in time");
  return out;
}

}  // namespace chair::sys
