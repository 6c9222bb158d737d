#include "support/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace {
std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string UniqueSuffix() {
    static std::mt19937_64 rng{std::random_device{}()};
    return std::to_string(getpid()) + "-" + std::to_string(rng() % 1000000000ULL);
}
}  // namespace

std::string BinPath(const std::string &name) {
    return std::string(QOR_BIN_DIR) + "/" + name;
}

Child::Child(const std::string &program, const std::vector<std::string> &args,
             const ChildEnv &env) {
    std::string base =
        std::filesystem::temp_directory_path().string() + "/qor-child-" + UniqueSuffix();
    out_path_ = base + ".out";
    err_path_ = base + ".err";
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        for (const auto &[key, value] : env) {
            if (value.empty()) {
                unsetenv(key.c_str());
            } else {
                setenv(key.c_str(), value.c_str(), 1);
            }
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    pid_ = pid;
}

Child::~Child() {
    if (!waited_ && pid_ > 0) {
        kill(static_cast<pid_t>(pid_), SIGKILL);
        Wait();
    }
}

ChildResult Child::Wait() {
    ChildResult result;
    if (pid_ <= 0 || waited_) return result;
    int status = 0;
    while (waitpid(static_cast<pid_t>(pid_), &status, 0) < 0) {
    }
    waited_ = true;
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = ReadFile(out_path_);
    result.err = ReadFile(err_path_);
    std::remove(out_path_.c_str());
    std::remove(err_path_.c_str());
    return result;
}

ChildResult RunChild(const std::vector<std::string> &args, const ChildEnv &env) {
    Child child(BinPath("qor_child"), args, env);
    return child.Wait();
}

ChildResult RunChildProgram(const std::string &name, const std::vector<std::string> &args,
                            const ChildEnv &env) {
    Child child(BinPath(name), args, env);
    return child.Wait();
}

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/qor-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

void WriteTextFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::vector<std::string> LinesStartingWith(const std::string &text, const std::string &prefix) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    }
    return lines;
}
