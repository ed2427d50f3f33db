#include "Platform/Ipc/VarlinkMessageReader.h"

#include "Platform/Files/FileDescriptor.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>
#include <streambuf>
#include <vector>

namespace vornelo::platform {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// Estimates of what a kept value costs beside its own bytes: the node in its container, the
// allocation of a string or container, and the allocator's bookkeeping.
constexpr std::size_t scalarCost = 16;
constexpr std::size_t stringCost = 48;
constexpr std::size_t keyCost = 96;
constexpr std::size_t containerCost = 64;
constexpr std::size_t inputBytes = 32 * 1024;

std::string pointerToken(std::string_view text) {
    std::string token;
    token.reserve(text.size());
    for (const char c : text) {
        if (c == '~') token += "~0";
        else if (c == '/') token += "~1";
        else token += c;
    }
    return token;
}

bool isWhitespace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

// MARK: The pool

std::size_t VarlinkMemoryPool::take(std::size_t least, std::size_t most, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    const bool enough = changed_.wait_until(lock, deadline, [&] { return woken_ || available_ >= least; });
    if (!enough || woken_) return 0;
    const std::size_t taken = std::min(std::max(least, most), available_);
    available_ -= taken;
    return taken;
}

void VarlinkMemoryPool::give(std::size_t bytes) {
    if (bytes == 0) return;
    {
        std::lock_guard lock(mutex_);
        available_ += bytes;
    }
    changed_.notify_all();
}

void VarlinkMemoryPool::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    changed_.notify_all();
}

std::size_t VarlinkMemoryPool::available() const {
    std::lock_guard lock(mutex_);
    return available_;
}

bool VarlinkHeldBytes::add(std::size_t bytes, Clock::time_point deadline) {
    // Drawn from the pool in pieces, so that a message of many small values seldom takes its lock.
    constexpr std::size_t piece = 16 * 1024;
    const std::size_t covered = allowance_ + fromPool_;
    if (used_ + bytes > covered) {
        const std::size_t shortfall = used_ + bytes - covered;
        const std::size_t taken = pool_->take(shortfall, piece, deadline);
        if (taken == 0) return false;
        fromPool_ += taken;
    }
    used_ += bytes;
    return true;
}

// MARK: The bytes

// Hands the parser the bytes of one message, up to its NUL, scanning each byte once before the
// parser sees it: the scan keeps the bounds on length, tokens and nesting, so the parser (which
// buffers a whole token) never holds more than a token's limit.
class VarlinkMessageReader::Source : public std::streambuf {
public:
    Source(int fd, const VarlinkLimits& limits, int wake, const std::atomic<bool>& stopping)
        : fd_(fd), limits_(limits), wake_(wake), stopping_(stopping), buffer_(new char[inputBytes]) {
        setg(buffer_.get(), buffer_.get(), buffer_.get());
    }

    bool awaitBytes() {
        if (handed_ < filled_) return true;
        return fill(std::nullopt);
    }

    bool holdsNul() const { return std::memchr(buffer_.get() + handed_, '\0', filled_ - handed_) != nullptr; }

    void beginMessage(Clock::time_point deadline) {
        deadline_ = deadline;
        messageBytes_ = 0;
        token_ = 0;
        depth_ = 0;
        inString_ = escaped_ = atNul_ = false;
        problem_.reset();
    }

    Clock::time_point deadline() const { return deadline_; }
    const std::optional<Problem>& problem() const { return problem_; }

    // After the parser's last byte: only whitespace may come before the NUL, which is consumed.
    bool finishMessage() {
        for (int c = sgetc(); c != traits_type::eof(); c = sgetc()) {
            if (!isWhitespace(c)) return false;
            sbumpc();
        }
        if (!atNul_ || problem_) return false;
        ++handed_;
        setg(buffer_.get() + handed_, buffer_.get() + handed_, buffer_.get() + handed_);
        atNul_ = false;
        return true;
    }

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (atNul_ || problem_) return traits_type::eof();
        if (handed_ == filled_ && !fill(deadline_)) return traits_type::eof();
        const std::size_t end = scan(handed_, filled_);
        setg(buffer_.get() + handed_, buffer_.get() + handed_, buffer_.get() + end);
        handed_ = end;
        return gptr() < egptr() ? traits_type::to_int_type(*gptr()) : traits_type::eof();
    }

private:
    // Reads more once everything read has been handed out; with a deadline, only until then.
    bool fill(std::optional<Clock::time_point> deadline) {
        handed_ = filled_ = 0;
        setg(buffer_.get(), buffer_.get(), buffer_.get());
        for (;;) {
            int timeoutMs = -1;
            if (deadline) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
                if (left <= 0) return fail(Problem::unfinished);
                timeoutMs = static_cast<int>(std::min<long long>(left, 1 << 30));
            }
            pollfd entries[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
            const int ready = retryOnInterrupt([&] { return ::poll(entries, 2, timeoutMs); });
            if (stopping_.load() || ready < 0) return fail(Problem::closed);
            if (ready == 0) continue;  // the deadline is looked at again above
            const auto got = retryOnInterrupt([&] { return ::recv(fd_, buffer_.get(), inputBytes, 0); });
            if (got <= 0) return fail(deadline ? Problem::unfinished : Problem::closed);
            filled_ = static_cast<std::size_t>(got);
            return true;
        }
    }

    bool fail(Problem problem) {
        problem_ = problem;
        return false;
    }

    // The end of the bytes in [from, to) that may go to the parser: up to the NUL, or up to the
    // byte that breaks a bound (the parser then meets the end of its input).
    std::size_t scan(std::size_t from, std::size_t to) {
        for (std::size_t at = from; at < to; ++at) {
            const char c = buffer_[at];
            if (c == '\0') {
                atNul_ = true;
                return at;
            }
            if (++messageBytes_ > limits_.maxMessageBytes) return stop(Problem::tooLong, at);
            if (inString_) {
                const bool closing = c == '"' && !escaped_;
                escaped_ = !escaped_ && c == '\\';
                if (closing) inString_ = false;
                else if (++token_ > limits_.maxTokenBytes) return stop(Problem::tokenTooLong, at);
                continue;
            }
            switch (c) {
                case '"':
                    inString_ = true;
                    token_ = 0;
                    break;
                case '[':
                case '{':
                    if (++depth_ > maxNesting) return stop(Problem::tooDeep, at);
                    token_ = 0;
                    break;
                case ']':
                case '}':
                    if (depth_ > 0) --depth_;
                    token_ = 0;
                    break;
                case ' ': case '\t': case '\n': case '\r': case ',': case ':':
                    token_ = 0;
                    break;
                default:
                    if (++token_ > limits_.maxTokenBytes) return stop(Problem::tokenTooLong, at);
            }
        }
        return to;
    }

    std::size_t stop(Problem problem, std::size_t at) {
        problem_ = problem;
        return at;
    }

    int fd_;
    const VarlinkLimits& limits_;
    int wake_;
    const std::atomic<bool>& stopping_;
    std::unique_ptr<char[]> buffer_;
    std::size_t filled_ = 0;
    std::size_t handed_ = 0;  // buffer_[0, handed_) has gone to the parser (or was consumed)
    Clock::time_point deadline_{};
    std::size_t messageBytes_ = 0;
    std::size_t token_ = 0;
    std::size_t depth_ = 0;
    bool inString_ = false;
    bool escaped_ = false;
    bool atNul_ = false;  // the scan stopped at this message's NUL, buffer_[handed_]
    std::optional<Problem> problem_;
};

// MARK: The values

// Builds the message's value from the parser's events, keeping only what the limits allow and
// charging what it keeps.
class VarlinkMessageReader::Builder {
public:
    Builder(const VarlinkLimits& limits, VarlinkHeldBytes& held, Clock::time_point deadline,
            std::map<std::string, std::size_t>& lengths)
        : limits_(limits), held_(held), deadline_(deadline), lengths_(lengths) {}

    Json& result() { return root_; }
    bool outOfMemory() const { return outOfMemory_; }

    bool null() { return add(Json(nullptr), scalarCost); }
    bool boolean(bool value) { return add(Json(value), scalarCost); }
    bool number_integer(Json::number_integer_t value) { return add(Json(value), scalarCost); }
    bool number_unsigned(Json::number_unsigned_t value) { return add(Json(value), scalarCost); }
    bool number_float(Json::number_float_t value, const Json::string_t&) { return add(Json(value), scalarCost); }
    bool string(Json::string_t& value) {
        const std::size_t cost = value.size() + stringCost;
        return add(Json(std::move(value)), cost);
    }
    bool binary(Json::binary_t&) { return false; }  // never in JSON text
    bool start_object(std::size_t) { return open(Json::value_t::object); }
    bool start_array(std::size_t) { return open(Json::value_t::array); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(Json::string_t& key) {
        if (dropping_ > 0) return true;
        if (!charge(key.size() + keyCost)) return false;
        key_ = std::move(key);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    struct Frame {
        Json* container;
        std::size_t count = 0;  // elements met (an array's, kept or not)
        std::string token;      // how it is reached from its parent, for a JSON pointer
    };

    bool charge(std::size_t bytes) {
        if (held_.add(bytes, deadline_)) return true;
        outOfMemory_ = true;
        return false;
    }

    // Where the next value goes; nullptr when it is dropped (or counted only).
    Json* slot(std::size_t cost, std::string& token, bool& ok) {
        ok = true;
        if (dropping_ > 0) return nullptr;
        if (frames_.empty()) {
            ok = charge(cost);
            return ok ? &root_ : nullptr;
        }
        auto& top = frames_.back();
        if (top.container->is_array()) {
            token = std::to_string(top.count);
            if (top.count++ >= limits_.maxArrayElements) return nullptr;
            if (!(ok = charge(cost))) return nullptr;
            top.container->push_back(nullptr);
            return &top.container->back();
        }
        token = pointerToken(key_);
        if (!(ok = charge(cost))) return nullptr;
        return &(*top.container)[key_];
    }

    bool add(Json value, std::size_t cost) {
        std::string token;
        bool ok = true;
        if (Json* place = slot(cost, token, ok)) *place = std::move(value);
        return ok;
    }

    bool open(Json::value_t type) {
        if (dropping_ > 0) {
            ++dropping_;
            return true;
        }
        std::string token;
        bool ok = true;
        Json* place = slot(containerCost, token, ok);
        if (!ok) return false;
        if (!place) {  // an element past the limit: read through, kept nowhere
            dropping_ = 1;
            return true;
        }
        *place = Json(type);
        frames_.push_back(Frame{place, 0, std::move(token)});
        return true;
    }

    bool close() {
        if (dropping_ > 0) {
            --dropping_;
            return true;
        }
        if (frames_.empty()) return false;
        const auto& frame = frames_.back();
        if (frame.container->is_array() && frame.count > limits_.maxArrayElements) {
            std::string pointer;
            for (std::size_t index = 1; index < frames_.size(); ++index) pointer += "/" + frames_[index].token;
            lengths_[pointer] = frame.count;
        }
        frames_.pop_back();
        return true;
    }

    const VarlinkLimits& limits_;
    VarlinkHeldBytes& held_;
    Clock::time_point deadline_;
    std::map<std::string, std::size_t>& lengths_;
    Json root_;
    std::vector<Frame> frames_;
    std::string key_;
    std::size_t dropping_ = 0;  // depth inside a value that is read but not kept
    bool outOfMemory_ = false;
};

// MARK: The reader

VarlinkMessageReader::VarlinkMessageReader(int fd, const VarlinkLimits& limits, VarlinkMemoryPool& pool, int wake,
                                           const std::atomic<bool>& stopping)
    : fd_(fd),
      limits_(limits),
      pool_(pool),
      source_(std::make_unique<Source>(fd, limits, wake, stopping)),
      stream_(std::make_unique<std::istream>(source_.get())) {}

VarlinkMessageReader::~VarlinkMessageReader() = default;

bool VarlinkMessageReader::awaitMessage() { return source_->awaitBytes(); }

bool VarlinkMessageReader::holdsWholeMessage() const { return source_->holdsNul(); }

std::expected<VarlinkMessage, VarlinkMessageReader::Problem> VarlinkMessageReader::read(Clock::time_point began) {
    source_->beginMessage(began + limits_.messageTimeout);
    std::map<std::string, std::size_t> lengths;
    VarlinkHeldBytes held(pool_, limits_.heldBytesPerConnection);
    Builder builder(limits_, held, source_->deadline(), lengths);
    stream_->clear();
    const bool parsed = Json::sax_parse(*stream_, &builder, Json::input_format_t::json, false);
    if (source_->problem()) return std::unexpected(*source_->problem());
    if (builder.outOfMemory()) return std::unexpected(Problem::noMemory);
    if (!parsed || !source_->finishMessage()) return std::unexpected(source_->problem().value_or(Problem::notJson));
    return VarlinkMessage{std::move(builder.result()), std::move(lengths), std::move(held)};
}

std::string VarlinkMessageReader::describe(Problem problem, const VarlinkLimits& limits) {
    switch (problem) {
        case Problem::closed: return "connection ended";
        case Problem::unfinished:
            return "message left unfinished " + std::to_string(limits.messageTimeout.count()) + " ms after it began";
        case Problem::tooLong: return "message too long";
        case Problem::tokenTooLong: return "a string or number in the message too long";
        case Problem::tooDeep: return "message nested too deep";
        case Problem::notJson: return "not a Varlink call";
        case Problem::noMemory: return "no memory left for the message within its time";
    }
    return "message refused";
}

}  // namespace vornelo::platform
