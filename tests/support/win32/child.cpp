// Child processes on Windows (the same interface as on POSIX): CreateProcessA with standard
// output and error redirected to files, and an environment block made from this process's
// with the requested changes. The machine registry a child sees is given as on POSIX, by a
// REGEDIT4 file named in QORASST_REGISTRY; since a Windows child reads the real registry, that
// file is imported with regedit before the child starts. Windows has no signals: a child that ends
// itself the way "die" does (TerminateProcess with exit code 128 + SIGKILL, the shell's convention)
// is reported as killed by SIGKILL, as on POSIX.
#include "support/child.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>

namespace {

constexpr int kSignalKill = 9;
constexpr DWORD kKilledExitCode = 128 + kSignalKill;

// One argument quoted so that the C runtime's parser gives it back unchanged.
std::string Quote(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {  // backslashes are doubled only before a quote, which gets one more
        if (c != '\\') out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\') += c;
        backslashes = c == '\\' ? backslashes + 1 : 0;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

// Environment names are compared without regard to case on Windows.
struct NoCaseLess {
    bool operator()(const std::string &a, const std::string &b) const {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    }
};

// This process's environment with the changes of env (an empty value removes a variable).
std::vector<char> EnvironmentBlock(const ChildEnv &env) {
    std::map<std::string, std::string, NoCaseLess> vars;
    std::vector<std::string> drive_entries;  // "=C:=C:\dir": kept as they are
    if (char *block = GetEnvironmentStringsA()) {
        for (char *p = block; *p != '\0'; p += std::strlen(p) + 1) {
            std::string entry(p);
            size_t eq = entry.find('=', 1);
            if (entry[0] == '=') {
                drive_entries.push_back(entry);
            } else if (eq != std::string::npos) {
                vars[entry.substr(0, eq)] = entry.substr(eq + 1);
            }
        }
        FreeEnvironmentStringsA(block);
    }
    for (const auto &[key, value] : env) {
        if (value.empty()) vars.erase(key);
        if (!value.empty()) vars[key] = value;
    }
    std::vector<char> out;
    auto append = [&out](const std::string &entry) {
        out.insert(out.end(), entry.begin(), entry.end());
        out.push_back('\0');
    };
    for (const auto &entry : drive_entries) append(entry);
    for (const auto &[key, value] : vars) append(key + "=" + value);
    if (out.empty()) out.push_back('\0');
    out.push_back('\0');
    return out;
}

// The C runtime writes text-mode output with CR LF; tests compare lines as on POSIX.
std::string WithoutCarriageReturns(std::string text) {
    for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
    return text;
}

HANDLE OpenOutput(const std::string &path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::vector<std::string> KeysOf(const std::string &reg_text) {
    std::vector<std::string> keys;
    std::stringstream in(reg_text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 2 && line.front() == '[' && line.back() == ']' && line[1] != '-')
            keys.push_back(line.substr(1, line.size() - 2));
    }
    return keys;
}

thread_local bool g_importing = false;  // regedit itself is started without an import

bool RunRegedit(const std::string &reg_file) {
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    if (length == 0 || length >= sizeof windows) return false;
    g_importing = true;
    Child regedit(std::string(windows) + "\\regedit.exe", {"/S", reg_file}, {});
    g_importing = false;
    return regedit.Wait().exit_code == 0;
}

// Brings the registry to what the file named by QORASST_REGISTRY holds (nothing when there is
// none): the keys of the previous import are removed, then the file is imported. What was
// imported last is kept in a file, so later programs of the suite know it too.
void ApplyRegistry(const ChildEnv &env) {
    const char *inherited = std::getenv("QORASST_REGISTRY");
    const auto it = env.find("QORASST_REGISTRY");
    const std::string file = it != env.end() ? it->second : inherited ? inherited : "";
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const std::string wanted = file.empty() ? "" : ReadWholeFile(file);
    const std::string state =
        (std::filesystem::temp_directory_path() / "qor-registry-imported.reg").string();
    const std::string previous = ReadWholeFile(state);
    if (previous == wanted) return;

    std::string text = "REGEDIT4\n\n";
    for (const auto &key : KeysOf(previous)) text += "[-" + key + "]\n\n";
    for (const auto &key : KeysOf(wanted)) text += "[-" + key + "]\n\n";
    const size_t body = wanted.find('\n');
    if (body != std::string::npos) text += wanted.substr(body + 1);
    const std::string combined = state + ".import";
    WriteTextFile(combined, text);
    if (RunRegedit(combined)) WriteTextFile(state, wanted);
    std::remove(combined.c_str());
}

// The handle is kept in the runner's process field; Windows handle values fit in 32 bits.
HANDLE AsHandle(long value) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

}  // namespace

Child::Child(const std::string &program, const std::vector<std::string> &args,
             const ChildEnv &env) {
    std::string base =
        (std::filesystem::temp_directory_path() / ("qor-child-" + UniqueSuffix())).string();
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    if (!g_importing) ApplyRegistry(env);
    HANDLE out = OpenOutput(out_path_);
    HANDLE err = OpenOutput(err_path_);
    std::string command_line = Quote(program);
    for (const auto &a : args) command_line += " " + Quote(a);
    std::vector<char> command(command_line.begin(), command_line.end());
    command.push_back('\0');
    std::vector<char> environment = EnvironmentBlock(env);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info{};
    if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
        CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                       environment.data(), nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        pid_ = static_cast<long>(reinterpret_cast<intptr_t>(info.hProcess));
    }
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
}

Child::~Child() {
    if (!waited_ && pid_ > 0) {
        TerminateProcess(AsHandle(pid_), kKilledExitCode);
        Wait();
    }
}

ChildResult Child::Wait() {
    ChildResult result;
    if (waited_) return result;
    waited_ = true;
    result.exit_code = 127;  // could not be started, as exec failing in the POSIX child
    if (pid_ > 0) {
        HANDLE process = AsHandle(pid_);
        WaitForSingleObject(process, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        result.signal = code == kKilledExitCode ? kSignalKill : 0;
        result.exit_code = code == kKilledExitCode ? -1 : static_cast<int>(code);
    }
    result.out = WithoutCarriageReturns(ReadWholeFile(out_path_));
    result.err = WithoutCarriageReturns(ReadWholeFile(err_path_));
    std::remove(out_path_.c_str());
    std::remove(err_path_.c_str());
    return result;
}
