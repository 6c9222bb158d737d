#include "support/child.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string BinPath(const std::string &name) {
    std::string path = std::string(QOR_BIN_DIR) + "/" + name;
#ifdef _WIN32
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".exe") != 0) path += ".exe";
#endif
    return path;
}

ChildResult RunChild(const std::vector<std::string> &args, const ChildEnv &env) {
    return RunChildProgram("qor_child", args, env);
}

ChildResult RunChildProgram(const std::string &name, const std::vector<std::string> &args,
                            const ChildEnv &env) {
    Child child(BinPath(name), args, env);
    return child.Wait();
}

TempDir::TempDir() {
    for (;;) {
        std::filesystem::path p =
            std::filesystem::temp_directory_path() / ("qor-test-" + UniqueSuffix());
        std::error_code ec;
        if (std::filesystem::create_directory(p, ec)) {
            path_ = p.string();
            break;
        }
        if (ec) break;
    }
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
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) lines.push_back(line);
    return lines;
}

std::vector<std::string> Words(const std::string &line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w == "''" ? "" : w);
    return words;
}

bool AppearsWithin(const std::string &path, int seconds) {
    for (int i = 0; i < seconds * 100 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return std::filesystem::exists(path);
}
