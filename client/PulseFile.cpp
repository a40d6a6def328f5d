// Pulse files: reading a file or standard input, telling CSV from binary, the binary header and
// byte orders, and the error that lists every fault.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tarvex/PulseList.h"

namespace tarvex {

namespace {

std::string with_commas(size_t n) {
    std::string s = std::to_string(n);
    for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
    return s;
}

std::string plural(size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

std::string message_of(const std::string& name, const std::vector<BadLine>& bad, size_t bad_lines) {
    if (bad_lines == 1 && bad.size() == 1 && bad[0].line == 0)
        return name + ": " + bad[0].reason + "; nothing was sent";
    std::string message;
    for (const BadLine& b : bad) message += name + ":" + std::to_string(b.line) + ": " + b.reason + "\n";
    if (bad_lines > bad.size())
        message += name + ": " + with_commas(bad_lines - bad.size()) + " more bad lines not shown\n";
    return message + name + ": " + with_commas(bad_lines) + (bad_lines == 1 ? " bad line" : " bad lines") +
           "; nothing was sent";
}

[[noreturn]] void whole_file_fault(const std::string& name, const std::string& reason) {
    throw PulseFileError(name, {{0, reason}}, 1);
}

uint32_t u32(const unsigned char* p, bool big) {
    return big ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
               : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// Where the records of a binary file start, how many there are and their byte order; throws for
// a bad file.
struct Records {
    size_t offset = 0, count = 0;
    bool big = false;
};
Records binary_layout(const unsigned char* data, size_t length, PulseFormat format, const std::string& name) {
    Records r;
    const size_t magic = sizeof PULSE_FILE_MAGIC - 1;
    if (length >= magic && std::memcmp(data, PULSE_FILE_MAGIC, magic) == 0) {
        if (length < PULSE_FILE_HEADER_BYTES)
            whole_file_fault(name, "the \"TVXPULSE\" header is cut short: " + plural(length, "byte"));
        if (data[8] != 1)
            whole_file_fault(name,
                             "version " + std::to_string(data[8]) + " of \"TVXPULSE\" unknown (this reader knows 1)");
        if ((data[9] != 'L' && data[9] != 'B') || data[10] != 0 || data[11] != 0) {
            char shown[8];
            std::snprintf(shown, sizeof shown, data[9] >= 32 && data[9] < 127 ? "%c" : "\\x%02x", data[9]);
            whole_file_fault(name, "byte order \"" + std::string(shown) + "\" unknown (L or B)");
        }
        r.big = data[9] == 'B';
        r.offset = PULSE_FILE_HEADER_BYTES;
        r.count = u32(data + 12, r.big);
        const uint64_t announced = uint64_t{r.count} * sizeof(Pulse);  // no wrap in 32 bits
        if (length - r.offset != announced)
            whole_file_fault(name, "the header announces " + plural(r.count, "record") + " (" +
                                       std::to_string(announced) + " bytes), " + std::to_string(length - r.offset) +
                                       " bytes follow it");
        return r;
    }
    if (const size_t rest = length % sizeof(Pulse))
        whole_file_fault(name, plural(rest, "byte") + " after the last whole 9-byte record (record " +
                                   std::to_string(length / sizeof(Pulse) + 1) + " is incomplete)");
    r.count = length / sizeof(Pulse);
    if (r.count > 0 && format != PulseFormat::Little && format != PulseFormat::Big)
        whole_file_fault(name,
                         "9-byte records without the \"TVXPULSE\" header: give their byte order (little or big); "
                         "the first record reads ticks " +
                             std::to_string(u32(data, false)) + " little-endian, ticks " +
                             std::to_string(u32(data, true)) + " big-endian");
    r.big = format == PulseFormat::Big;
    return r;
}

// The input's bytes: mapped (a regular file) or read (standard input, or a file that cannot be
// mapped), bounded.
struct Input {
    void* map = nullptr;
    size_t length = 0;
    std::vector<char> buffer;
    const char* data() const { return map ? static_cast<const char*>(map) : buffer.data(); }
    ~Input() {
        if (map) munmap(map, length);
    }
};

[[noreturn]] void input_error(const std::string& message) { throw Error(Error::Input, message); }

void open_input(const std::string& path, const std::string& name, Input& in) {
    const bool stdin_input = path == "-";
    const int fd = stdin_input ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) input_error(path + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() {
            if (fd != STDIN_FILENO) close(fd);
        }
    } closer{fd};
    const std::string too_large = name + ": larger than " + with_commas(MAX_PULSE_FILE_BYTES) + " bytes";
    struct stat st {};
    if (!stdin_input && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) > MAX_PULSE_FILE_BYTES) input_error(too_large);
        in.length = static_cast<size_t>(st.st_size);
        if (in.length == 0) return;
        in.map = mmap(nullptr, in.length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (in.map != MAP_FAILED) return;
        in.map = nullptr;
    }
    size_t used = 0;
    for (;;) {
        if (in.buffer.size() - used < 65536)
            in.buffer.resize(std::min(MAX_PULSE_FILE_BYTES + 1, std::max<size_t>(in.buffer.size() * 2, 1 << 20)));
        if (used == in.buffer.size()) input_error(too_large);
        const ssize_t n = ::read(fd, in.buffer.data() + used, in.buffer.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) input_error(name + ": " + std::strerror(errno));
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    in.length = used;
}

}  // namespace

PulseFileError::PulseFileError(const std::string& name, std::vector<BadLine> bad, size_t bad_lines)
    : Error(Error::Input, message_of(name, bad, bad_lines)), bad_(std::move(bad)), bad_lines_(bad_lines) {}

PulseFormat detectFormat(const std::string& path, const char* head, size_t length) {
    const size_t magic = sizeof PULSE_FILE_MAGIC - 1;
    if (length >= magic && std::memcmp(head, PULSE_FILE_MAGIC, magic) == 0) return PulseFormat::Binary;
    const auto dot = path.rfind('.');
    std::string ext = dot == std::string::npos || path.find('/', dot) != std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "csv" || ext == "txt") return PulseFormat::Csv;
    for (size_t i = 0; i < std::min<size_t>(length, 4096); ++i) {
        const unsigned char c = static_cast<unsigned char>(head[i]);
        if (!(c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c < 0x7F))) return PulseFormat::Binary;
    }
    return PulseFormat::Csv;
}

std::string binaryPulseFile(const Pulse* pulses, size_t count) {
    std::string file(PULSE_FILE_MAGIC);
    file.resize(PULSE_FILE_HEADER_BYTES);
    file[8] = 1;
    file[9] = 'L';
    for (int i = 0; i < 4; ++i) file[12 + static_cast<size_t>(i)] = static_cast<char>(count >> (8 * i));
    return file.append(reinterpret_cast<const char*>(pulses), count * sizeof(Pulse));
}

PulseList::PulseList(std::vector<Pulse> pulses)
    : owned_(std::move(pulses)), data_(owned_.data()), size_(owned_.size()) {}

PulseList::~PulseList() { release(); }

void PulseList::release() {
    if (map_) munmap(map_, map_length_);
    map_ = nullptr;
    owned_.clear();
    data_ = nullptr;
    size_ = 0;
}

PulseList::PulseList(PulseList&& other) noexcept { *this = std::move(other); }

PulseList& PulseList::operator=(PulseList&& other) noexcept {
    if (this != &other) {
        release();
        owned_ = std::move(other.owned_);
        map_ = other.map_;
        map_length_ = other.map_length_;
        data_ = map_ ? other.data_ : owned_.data();
        size_ = other.size_;
        other.map_ = nullptr;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

PulseList PulseList::fromBytes(const char* data, size_t length, const std::string& name, PulseFormat format,
                               size_t max_pulses, const std::string& limit_name) {
    auto over_limit = [&](size_t n) {
        whole_file_fault(name, with_commas(n) + " pulses, above the instrument's limit of " + with_commas(max_pulses) +
                                   " pulses for " + limit_name);
    };
    if (format == PulseFormat::Auto) format = detectFormat(name, data, length);
    PulseList list;
    if (format == PulseFormat::Csv) {
        std::vector<BadLine> bad;
        const CsvTally tally = parseCsv(data, length, list.owned_, bad, max_pulses);
        if (tally.bad_lines > 0) throw PulseFileError(name, std::move(bad), tally.bad_lines);
        if (tally.pulses > max_pulses) over_limit(tally.pulses);
    } else {
        const Records r = binary_layout(reinterpret_cast<const unsigned char*>(data), length, format, name);
        if (r.count > max_pulses) over_limit(r.count);
        list.owned_.resize(r.count);
        const auto* from = reinterpret_cast<const unsigned char*>(data + r.offset);
        for (size_t i = 0; i < r.count && r.big; ++i, from += sizeof(Pulse))
            list.owned_[i] = Pulse{u32(from, true), from[4], static_cast<int16_t>(from[5] << 8 | from[6]),
                                   static_cast<int16_t>(from[7] << 8 | from[8])};
        if (!r.big && r.count > 0) std::memcpy(static_cast<void*>(list.owned_.data()), from, r.count * sizeof(Pulse));
    }
    if (list.owned_.empty()) whole_file_fault(name, "no pulses");
    list.data_ = list.owned_.data();
    list.size_ = list.owned_.size();
    return list;
}

PulseList PulseList::read(const std::string& path, PulseFormat format, size_t max_pulses,
                          const std::string& limit_name) {
    const std::string name = path == "-" ? "standard input" : path;
    Input in;
    open_input(path, name, in);
    const char* data = in.data();
    const std::string detect_name = path == "-" ? "" : path;
    if (format == PulseFormat::Auto) format = detectFormat(detect_name, data, in.length);
    // A mapped file of little-endian records is used in place.
    if (in.map && format != PulseFormat::Csv) {
        const Records r = binary_layout(reinterpret_cast<const unsigned char*>(data), in.length, format, name);
        if (!r.big && r.count > 0 && r.count <= max_pulses) {
            PulseList list;
            list.map_ = in.map;
            list.map_length_ = in.length;
            list.data_ = reinterpret_cast<const Pulse*>(data + r.offset);
            list.size_ = r.count;
            in.map = nullptr;
            return list;
        }
    }
    return fromBytes(data, in.length, name, format, max_pulses, limit_name);
}

}  // namespace tarvex
