// Child processes on POSIX: fork and exec, standard output and error into files.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support/child.h"

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
            if (value.empty()) unsetenv(key.c_str());
            if (!value.empty()) setenv(key.c_str(), value.c_str(), 1);
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
    while (waitpid(static_cast<pid_t>(pid_), &status, 0) < 0) continue;
    waited_ = true;
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = ReadWholeFile(out_path_);
    result.err = ReadWholeFile(err_path_);
    std::remove(out_path_.c_str());
    std::remove(err_path_.c_str());
    return result;
}
