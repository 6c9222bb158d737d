// Running the real library in child processes: start-up runs at load time, so the
// interesting cases need a first process, a second one, and processes that die.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ChildResult {
    int exit_code = -1;  // -1 when the child did not exit normally
    int signal = 0;      // the signal that ended it, if any
    std::string out;     // its standard output
    std::string err;     // its standard error
};

using ChildEnv = std::map<std::string, std::string>;

// A started child program; Wait() collects it. Standard output and error go to files, so a
// chatty child never blocks on a full pipe.
class Child {
  public:
    Child(const std::string &program, const std::vector<std::string> &args, const ChildEnv &env);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ChildResult Wait();

  private:
    long pid_ = -1;
    std::string out_path_, err_path_;
    bool waited_ = false;
};

// Path of a program built next to the library (qor_child, qor_lockdie, qorsim, qorasst).
std::string BinPath(const std::string &name);

// Runs bin/qor_child with the commands in args and waits for it.
ChildResult RunChild(const std::vector<std::string> &args, const ChildEnv &env);
// Runs another program of the bin directory and waits for it.
ChildResult RunChildProgram(const std::string &name, const std::vector<std::string> &args,
                            const ChildEnv &env = {});

// A fresh directory under the system's temporary directory, removed with its contents by
// the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Writes text to a file, replacing it; reads a whole file ("" when there is none).
void WriteTextFile(const std::string &path, const std::string &text);
std::string ReadWholeFile(const std::string &path);

// Unique on this machine: the process id, a counter and a random number (names of temporary
// files, directories and namespaces).
std::string UniqueSuffix();

// Lines of text that start with prefix.
std::vector<std::string> LinesStartingWith(const std::string &text, const std::string &prefix);

// The words of a line, split at spaces: a command line for a child ('' stands for an empty
// argument).
std::vector<std::string> Words(const std::string &line);

// Polls for a file (a child's sign that it got there); answers whether it appeared in time. A
// test polls: a child process that waited for it would race the process under test to be first.
bool AppearsWithin(const std::string &path, int seconds = 60);
