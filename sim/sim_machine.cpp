#include "sim_machine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace qorsim {

namespace {

constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;
constexpr std::size_t kMaxLoggedWrite = 256;

std::optional<Bytes> ReadFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

std::string ReadText(const fs::path &path) {
    auto bytes = ReadFile(path);
    if (!bytes) return {};
    return std::string(bytes->begin(), bytes->end());
}

bool WriteFile(const fs::path &path, const std::uint8_t *data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.close();
    return static_cast<bool>(out);
}

bool WriteText(const fs::path &path, const std::string &text) {
    return WriteFile(path, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

// Replaces a file's content without truncating it to zero first: on some file systems a
// truncate-and-rewrite forces the data out to disk at close, which costs milliseconds on
// every transfer.
bool OverwriteText(const fs::path &path, const std::string &text) {
    std::error_code ec;
    const auto old_size = fs::file_size(path, ec);
    if (ec) return WriteText(path, text);
    {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.write(text.data(), static_cast<std::streamsize>(text.size()));
        f.close();
        if (!f) return false;
    }
    if (old_size > text.size()) fs::resize_file(path, text.size(), ec);
    return !ec;
}

void AppendLine(const fs::path &dir, const std::string &line) {
    std::ofstream out(LogPath(dir), std::ios::binary | std::ios::app);
    out << line << '\n';
}

std::string Trim(const std::string &s) {
    const char *ws = " \t\r\n";
    auto b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Key and value of a conf line, nullopt for blank lines and comments.
std::optional<ConfLine> SplitConfLine(const std::string &raw) {
    std::string line = Trim(raw.substr(0, raw.find('#')));
    if (line.empty()) return std::nullopt;
    auto sp = line.find_first_of(" \t");
    if (sp == std::string::npos) return ConfLine{line, {}};
    return ConfLine{line.substr(0, sp), Trim(line.substr(sp))};
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::uint8_t> ParseHexByte(std::string text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text = text.substr(2);
    }
    if (text.empty() || text.size() > 2) return std::nullopt;
    unsigned v = 0;
    for (char c : text) {
        int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        v = v * 16 + static_cast<unsigned>(d);
    }
    return static_cast<std::uint8_t>(v);
}

std::atomic<int> g_pmem_open{0};

}  // namespace

// ---- formatting helpers -------------------------------------------------------------------

std::string Hex(const std::uint8_t *data, std::size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 0x0F]);
    }
    return s;
}

std::optional<Bytes> ParseHex(const std::string &text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

std::string Hex2(unsigned value) {
    std::uint8_t b = static_cast<std::uint8_t>(value);
    return Hex(&b, 1);
}

std::string Hex8(std::uint32_t value) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(value >> 24),
                         static_cast<std::uint8_t>(value >> 16),
                         static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return Hex(b, 4);
}

std::optional<std::uint64_t> ParseNumber(const std::string &text) {
    if (text.empty()) return std::nullopt;
    int base = 10;
    std::size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    std::uint64_t v = 0;
    for (std::size_t i = start; i < text.size(); ++i) {
        int d = HexDigit(text[i]);
        if (d < 0 || d >= base) return std::nullopt;
        std::uint64_t next = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        if (next / static_cast<std::uint64_t>(base) != v) return std::nullopt;  // overflow
        v = next;
    }
    return v;
}

// ---- machine.conf -------------------------------------------------------------------------

Conf ParseConf(const std::string &text) {
    Conf conf;
    for (const auto &raw : SplitLines(text)) {
        auto line = SplitConfLine(raw);
        if (!line) continue;
        conf.lines.push_back(*line);
        const std::string &k = line->key, &v = line->value;
        if (k == "log") {
            conf.log = (v == "on");
        } else if (k == "i2c_open") {
            conf.i2c_open_fail = (v == "fail");
        } else if (k == "fail_transfer") {
            if (auto n = ParseNumber(v)) conf.fail_transfer.push_back(*n);
        } else if (k == "fail_from") {
            if (auto n = ParseNumber(v)) conf.fail_from = *n;
        } else if (k == "fail_device") {
            if (auto d = ParseHexByte(v)) conf.fail_device.push_back(*d);
        } else if (k == "pmem") {
            conf.pmem_unavailable = (v == "unavailable");
        } else if (k == "pmem_open") {
            conf.pmem_open_fail = (v == "fail");
        } else if (k == "pmem_read") {
            conf.pmem_read_fail = (v == "fail");
        } else if (k == "platform") {
            conf.platform = v;
        }
    }
    return conf;
}

Conf ReadConf(const fs::path &dir) {
    return ParseConf(ReadText(dir / "machine.conf"));
}

void SetConfKey(const fs::path &dir, const std::string &key,
                const std::vector<std::string> &values) {
    MachineLock lock(dir);
    std::vector<std::string> out;
    bool placed = false;
    auto place = [&] {
        for (const auto &v : values) out.push_back(v.empty() ? key : key + " " + v);
        placed = true;
    };
    for (const auto &raw : SplitLines(ReadText(dir / "machine.conf"))) {
        auto line = SplitConfLine(raw);
        if (line && line->key == key) {
            if (!placed) place();
            continue;
        }
        out.push_back(raw);
    }
    if (!placed) place();
    std::string text;
    for (const auto &l : out) text += l + "\n";
    WriteText(dir / "machine.conf", text);
}

void AddConfLine(const fs::path &dir, const std::string &key, const std::string &value) {
    MachineLock lock(dir);
    std::string text = ReadText(dir / "machine.conf");
    if (!text.empty() && text.back() != '\n') text += "\n";
    text += key + " " + value + "\n";
    WriteText(dir / "machine.conf", text);
}

// ---- counter ------------------------------------------------------------------------------

Counters ReadCounters(const fs::path &dir) {
    Counters c;
    for (const auto &raw : SplitLines(ReadText(dir / "counter"))) {
        auto line = SplitConfLine(raw);
        if (!line) continue;
        auto n = ParseNumber(line->value);
        if (!n) continue;
        if (line->key == "transfers") c.transfers = *n;
        if (line->key == "read_bytes") c.read_bytes = *n;
        if (line->key == "written_bytes") c.written_bytes = *n;
    }
    return c;
}

void WriteCounters(const fs::path &dir, const Counters &c) {
    OverwriteText(dir / "counter", "transfers " + std::to_string(c.transfers) + "\nread_bytes " +
                                       std::to_string(c.read_bytes) + "\nwritten_bytes " +
                                       std::to_string(c.written_bytes) + "\n");
}

// ---- bus devices --------------------------------------------------------------------------

fs::path DevicePath(const fs::path &dir, std::uint8_t address) {
    return dir / "i2c" / (Hex2(address) + ".bin");
}

std::optional<Image> ReadDevice(const fs::path &dir, std::uint8_t address) {
    auto bytes = ReadFile(DevicePath(dir, address));
    if (!bytes || bytes->size() != 256) return std::nullopt;
    Image image;
    std::copy(bytes->begin(), bytes->end(), image.begin());
    return image;
}

void WriteDevice(const fs::path &dir, std::uint8_t address, const Image &image) {
    std::error_code ec;
    fs::create_directories(dir / "i2c", ec);
    WriteFile(DevicePath(dir, address), image.data(), image.size());
}

void RemoveDevice(const fs::path &dir, std::uint8_t address) {
    std::error_code ec;
    fs::remove(DevicePath(dir, address), ec);
}

std::vector<std::uint8_t> ListDevices(const fs::path &dir) {
    std::vector<std::uint8_t> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir / "i2c", ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &p = it->path();
        std::string stem = p.stem().string();
        if (p.extension() != ".bin" || stem.size() != 2) continue;
        if (auto a = ParseHexByte(stem); a && Hex2(*a) == stem) out.push_back(*a);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// ---- physical memory ----------------------------------------------------------------------

std::vector<Region> ReadRegionFiles(const fs::path &dir) {
    std::vector<Region> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir / "pmem", ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &p = it->path();
        std::string stem = p.stem().string();
        if (p.extension() != ".bin" || stem.size() != 8) continue;
        auto base = ParseNumber("0x" + stem);
        if (!base) continue;
        auto bytes = ReadFile(p);
        if (!bytes || bytes->empty()) continue;
        out.push_back(Region{*base, std::move(*bytes)});
    }
    std::sort(out.begin(), out.end(),
              [](const Region &a, const Region &b) { return a.base < b.base; });
    return out;
}

std::vector<Region> MergeRegions(std::vector<Region> files) {
    std::stable_sort(files.begin(), files.end(),
                     [](const Region &a, const Region &b) { return a.base < b.base; });
    std::vector<Region> spans;
    for (auto &f : files) {
        if (f.bytes.empty()) continue;
        if (!spans.empty() && f.base <= spans.back().end()) {
            Region &s = spans.back();
            std::uint64_t end = std::max(s.end(), f.end());
            s.bytes.resize(static_cast<std::size_t>(end - s.base));
            std::copy(f.bytes.begin(), f.bytes.end(),
                      s.bytes.begin() + static_cast<std::ptrdiff_t>(f.base - s.base));
        } else {
            spans.push_back(std::move(f));
        }
    }
    return spans;
}

void PlaceMemory(const fs::path &dir, std::uint32_t address, const Bytes &bytes) {
    if (bytes.empty()) return;
    MachineLock lock(dir);
    std::error_code ec;
    fs::create_directories(dir / "pmem", ec);
    Region placed{address, bytes};
    std::vector<Region> joined;
    for (auto &f : ReadRegionFiles(dir)) {
        if (f.end() < placed.base || f.base > placed.end()) continue;
        fs::remove(dir / "pmem" / (Hex8(static_cast<std::uint32_t>(f.base)) + ".bin"), ec);
        joined.push_back(std::move(f));
    }
    joined.push_back(std::move(placed));
    // Existing bytes first, the new ones last so that they win where they overlap.
    std::uint64_t base = address, end = address + bytes.size();
    for (const auto &r : joined) {
        base = std::min(base, r.base);
        end = std::max(end, r.end());
    }
    Bytes merged(static_cast<std::size_t>(end - base), 0);
    for (const auto &r : joined) {
        std::copy(r.bytes.begin(), r.bytes.end(),
                  merged.begin() + static_cast<std::ptrdiff_t>(r.base - base));
    }
    WriteFile(dir / "pmem" / (Hex8(static_cast<std::uint32_t>(base)) + ".bin"), merged.data(),
              merged.size());
}

bool ReadPhysical(const std::vector<Region> &spans, std::uint64_t address, std::uint8_t *out,
                  std::uint64_t length) {
    if (address + length > k4GiB) return false;
    if (length == 0) return true;
    std::memset(out, 0, static_cast<std::size_t>(length));
    const std::uint64_t end = address + length;
    for (const auto &s : spans) {
        std::uint64_t from = std::max(address, s.base), to = std::min(end, s.end());
        if (from >= to) continue;
        std::memcpy(out + (from - address), s.bytes.data() + (from - s.base),
                    static_cast<std::size_t>(to - from));
    }
    return true;
}

std::uint32_t SearchPhysical(const std::vector<Region> &spans, const Bytes &signature,
                             std::uint32_t first, std::uint32_t last, std::uint32_t step) {
    if (signature.empty() || step == 0 || first > last) return 0;
    for (const auto &s : spans) {
        // Only candidates inside a span can match; start at the first one at or after it.
        std::uint64_t k = first;
        if (s.base > k) k += (s.base - k + step - 1) / step * step;
        for (; k <= last && k + signature.size() <= s.end(); k += step) {
            if (std::equal(signature.begin(), signature.end(),
                           s.bytes.begin() + static_cast<std::ptrdiff_t>(k - s.base))) {
                return static_cast<std::uint32_t>(k);
            }
        }
    }
    return 0;
}

// ---- transfer log -------------------------------------------------------------------------

fs::path LogPath(const fs::path &dir) {
    return dir / "transfers.log";
}

std::vector<std::string> ReadLog(const fs::path &dir) {
    std::vector<std::string> lines;
    for (auto &l : SplitLines(ReadText(LogPath(dir)))) {
        if (!l.empty()) lines.push_back(std::move(l));
    }
    return lines;
}

void ClearLog(const fs::path &dir) {
    MachineLock lock(dir);
    std::ofstream out(LogPath(dir), std::ios::binary | std::ios::trunc);
}

std::string FormatI2cRecord(const I2cRecord &r) {
    std::string s = "I2C " + std::to_string(r.seq) + " " + r.dir + " " + Hex2(r.dev) + " " +
                    Hex2(r.off) + " " + std::to_string(r.len) + (r.ok ? " ok" : " fail");
    if (!r.data.empty()) s += " " + Hex(r.data);
    return s;
}

std::optional<I2cRecord> ParseI2cRecord(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> t;
    for (std::string w; in >> w;) t.push_back(w);
    if (t.size() < 7 || t.size() > 8 || t[0] != "I2C" || (t[2] != "R" && t[2] != "W")) {
        return std::nullopt;
    }
    I2cRecord r;
    auto seq = ParseNumber(t[1]);
    auto dev = ParseHexByte(t[3]);
    auto off = ParseHexByte(t[4]);
    if (!seq || !dev || !off) return std::nullopt;
    r.seq = *seq;
    r.dir = t[2][0];
    r.dev = *dev;
    r.off = *off;
    try {
        r.len = std::stoll(t[5]);
    } catch (...) {
        return std::nullopt;
    }
    if (t[6] != "ok" && t[6] != "fail") return std::nullopt;
    r.ok = t[6] == "ok";
    if (t.size() == 8) {
        auto data = ParseHex(t[7]);
        if (!data) return std::nullopt;
        r.data = std::move(*data);
    }
    return r;
}

// ---- the hardware operations --------------------------------------------------------------

std::optional<fs::path> MachineFromEnv() {
    const char *dir = std::getenv(kMachineEnv);
    if (dir == nullptr || *dir == '\0') return std::nullopt;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return std::nullopt;
    return fs::path(dir);
}

int I2cOpen(const fs::path &dir) {
    MachineLock lock(dir);
    if (!lock.locked()) return 0;
    Conf conf = ReadConf(dir);
    int usable = conf.i2c_open_fail ? 0 : 1;
    if (conf.log) AppendLine(dir, usable ? "I2C OPEN ok" : "I2C OPEN fail");
    return usable;
}

void I2cClose(const fs::path &dir) {
    MachineLock lock(dir);
    if (lock.locked() && ReadConf(dir).log) AppendLine(dir, "I2C CLOSE");
}

namespace {

// One numbered transfer: the whole of it happens under the machine lock.
int Transfer(const fs::path &dir, char direction, std::uint8_t device, std::uint8_t offset,
             std::uint8_t *in, const std::uint8_t *out, int length) {
    const std::uint8_t *buffer = direction == 'R' ? in : out;
    MachineLock lock(dir);
    if (!lock.locked()) return kFail;
    const Conf conf = ReadConf(dir);
    Counters counters = ReadCounters(dir);
    const std::uint64_t seq = ++counters.transfers;
    const bool in_range = buffer != nullptr && length >= 1 && length <= 256 - offset;

    int rc = kOk;
    std::optional<Image> image;
    if (std::find(conf.fail_device.begin(), conf.fail_device.end(), device) !=
        conf.fail_device.end()) {
        rc = kDeviceFault;
    } else if (std::find(conf.fail_transfer.begin(), conf.fail_transfer.end(), seq) !=
                   conf.fail_transfer.end() ||
               (conf.fail_from && seq >= *conf.fail_from)) {
        rc = kFail;
    } else if (!in_range || !(image = ReadDevice(dir, device))) {
        rc = kFail;
    }

    const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    if (rc == kOk && direction == 'R') {
        std::copy_n(image->begin() + offset, n, in);
        counters.read_bytes += n;
    } else if (rc == kOk) {
        std::fstream f(DevicePath(dir, device), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(offset);
        f.write(reinterpret_cast<const char *>(out), static_cast<std::streamsize>(n));
        f.close();
        if (f) {
            counters.written_bytes += n;
        } else {
            rc = kFail;
        }
    }
    WriteCounters(dir, counters);

    if (conf.log) {
        I2cRecord r{seq, direction, device, offset, length, rc == kOk, {}};
        // A read shows what it delivered; a write always shows what it was asked to write.
        bool show = direction == 'R' ? rc == kOk : buffer != nullptr && n <= kMaxLoggedWrite;
        if (show) r.data.assign(buffer, buffer + n);
        AppendLine(dir, FormatI2cRecord(r));
    }
    return rc;
}

}  // namespace

int I2cRead(const fs::path &dir, std::uint8_t device, std::uint8_t offset, std::uint8_t *buffer,
            int length) {
    return Transfer(dir, 'R', device, offset, buffer, nullptr, length);
}

int I2cWrite(const fs::path &dir, std::uint8_t device, std::uint8_t offset,
             const std::uint8_t *buffer, int length) {
    return Transfer(dir, 'W', device, offset, nullptr, buffer, length);
}

int PMemIsInitialized(const fs::path &dir) {
    MachineLock lock(dir);
    if (!lock.locked()) return 0;
    Conf conf = ReadConf(dir);
    int yes = conf.pmem_unavailable ? 0 : 1;
    if (conf.log) AppendLine(dir, yes ? "PMEM INIT 1" : "PMEM INIT 0");
    return yes;
}

int PMemOpen(const fs::path &dir) {
    MachineLock lock(dir);
    if (!lock.locked()) return 0;
    Conf conf = ReadConf(dir);
    // Without the driver there is nothing to open either.
    int ok = conf.pmem_unavailable || conf.pmem_open_fail ? 0 : 1;
    if (ok) ++g_pmem_open;
    if (conf.log) AppendLine(dir, ok ? "PMEM OPEN ok" : "PMEM OPEN fail");
    return ok;
}

void PMemClose(const fs::path &dir) {
    MachineLock lock(dir);
    int open = g_pmem_open.load();
    while (open > 0 && !g_pmem_open.compare_exchange_weak(open, open - 1)) {
    }
    if (lock.locked() && ReadConf(dir).log) AppendLine(dir, "PMEM CLOSE");
}

int PMemRead(const fs::path &dir, void *buffer, std::uint32_t address, std::uint32_t length) {
    MachineLock lock(dir);
    if (!lock.locked()) return kFail;
    Conf conf = ReadConf(dir);
    bool ok = g_pmem_open.load() > 0 && !conf.pmem_read_fail &&
              (buffer != nullptr || length == 0) &&
              ReadPhysical(MergeRegions(ReadRegionFiles(dir)), address,
                           static_cast<std::uint8_t *>(buffer), length);
    if (conf.log) {
        AppendLine(dir, "PMEM READ " + Hex8(address) + " " + std::to_string(length) +
                            (ok ? " ok" : " fail"));
    }
    return ok ? kOk : kFail;
}

std::uint32_t PMemSearch(const fs::path &dir, const char *signature, std::uint32_t first,
                         std::uint32_t last, std::uint32_t step) {
    MachineLock lock(dir);
    if (!lock.locked()) return 0;
    Conf conf = ReadConf(dir);
    Bytes sig;
    if (signature != nullptr) {
        sig.assign(reinterpret_cast<const std::uint8_t *>(signature),
                   reinterpret_cast<const std::uint8_t *>(signature) + std::strlen(signature));
    }
    std::uint32_t found =
        g_pmem_open.load() > 0
            ? SearchPhysical(MergeRegions(ReadRegionFiles(dir)), sig, first, last, step)
            : 0;
    if (conf.log) {
        AppendLine(dir, "PMEM SEARCH " + Hex(sig) + " " + Hex8(first) + " " + Hex8(last) + " " +
                            std::to_string(step) + " " + Hex8(found));
    }
    return found;
}

}  // namespace qorsim
