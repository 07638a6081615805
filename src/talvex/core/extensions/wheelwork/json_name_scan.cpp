// The simple-index name scanner: a resumable state machine over the bytes of a
// JSON document (see json_name_scan.hpp for what it accepts).
#include "json_name_scan.hpp"

namespace wheelwork {

namespace {

// The whitespace json.loads skips between tokens: exactly these four.
inline bool is_ws(unsigned char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

inline bool is_digit(unsigned char ch) { return ch >= '0' && ch <= '9'; }

inline int hex_value(unsigned char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// Bytes a string holds as they are, with nothing to check: printable ASCII but
// the quote and the backslash.
struct PlainTable {
    bool plain[256] = {};
    constexpr PlainTable() {
        for (int ch = 0x20; ch < 0x7F; ++ch)
            plain[ch] = ch != '"' && ch != '\\';
        plain[0x7F] = true;
    }
};
constexpr PlainTable kPlain;

inline bool is_high_surrogate(uint32_t code) { return code >= 0xD800 && code <= 0xDBFF; }
inline bool is_low_surrogate(uint32_t code) { return code >= 0xDC00 && code <= 0xDFFF; }

size_t skip_ws(const unsigned char *p, const unsigned char *end) {
    const unsigned char *start = p;
    while (p < end && is_ws(*p))
        ++p;
    return static_cast<size_t>(p - start);
}

}  // namespace

bool ProjectNameScanner::feed(std::string_view piece) {
    const auto *p = reinterpret_cast<const unsigned char *>(piece.data());
    const unsigned char *end = p + piece.size();
    while (p < end) {
        if (state_ == State::Failed)
            return false;
        p += step(p, end);
    }
    return state_ != State::Failed;
}

bool ProjectNameScanner::finish() {
    if (state_ != State::AfterValue || !stack_.empty() || !projects_seen_)
        return fail();
    return true;
}

// Consumes what it can of [p, end) in the current state and returns how many
// bytes that was; 0 when the state changed without consuming the byte at p
// (it is then read again in the new state) or when the scan failed.
size_t ProjectNameScanner::step(const unsigned char *p, const unsigned char *end) {
    unsigned char ch = *p;
    switch (state_) {
    case State::Value:
    case State::ArrayFirst:
        if (is_ws(ch))
            return skip_ws(p, end);
        if (ch == ']' && state_ == State::ArrayFirst)
            return close(ch) ? 1 : 0;
        return begin_value(ch) ? 1 : 0;

    case State::ObjectFirst:
    case State::Key:
        if (is_ws(ch))
            return skip_ws(p, end);
        if (ch == '"') {
            Role role = stack_.back().role;
            string_is_key_ = true;
            capture_ = role == Role::Top || role == Role::Project;
            buffer_.clear();
            buffer_ascii_ = true;
            buffer_surrogates_ = false;
            state_ = State::String;
            return 1;
        }
        if (ch == '}' && state_ == State::ObjectFirst)
            return close(ch) ? 1 : 0;
        return stop();

    case State::Colon:
        if (is_ws(ch))
            return skip_ws(p, end);
        if (ch != ':')
            return stop();
        state_ = State::Value;
        return 1;

    case State::AfterValue:
        if (is_ws(ch))
            return skip_ws(p, end);
        if (stack_.empty())
            return stop();  // something after the document
        if (ch == ',') {
            state_ = stack_.back().object ? State::Key : State::Value;
            return 1;
        }
        if (ch == ']' || ch == '}')
            return close(ch) ? 1 : 0;
        return stop();

    case State::String:
        return scan_string(p, end);

    case State::Escape: {
        char decoded;
        switch (ch) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u':
            hex_count_ = 0;
            code_ = 0;
            state_ = State::Hex;
            return 1;
        default: return stop();
        }
        if (capture_)
            buffer_.push_back(decoded);
        state_ = State::String;
        return 1;
    }

    case State::Hex:
    case State::HighHex: {
        int digit = hex_value(ch);
        if (digit < 0)
            return stop();
        code_ = code_ * 16 + static_cast<uint32_t>(digit);
        if (++hex_count_ < 4)
            return 1;
        if (state_ == State::Hex)
            return escaped(code_) ? 1 : 0;
        // "\uD8xx\uXXXX": a pair when the second is a low surrogate; otherwise
        // the first stands alone and the second is read as an escape of its own.
        if (is_low_surrogate(code_)) {
            append_code_point(0x10000 + ((high_ - 0xD800) << 10) + (code_ - 0xDC00));
            state_ = State::String;
            return 1;
        }
        append_code_point(high_);
        return escaped(code_) ? 1 : 0;
    }

    case State::HighPending:
        if (ch == '\\') {
            state_ = State::HighBackslash;
            return 1;
        }
        append_code_point(high_);
        state_ = State::String;
        return 0;

    case State::HighBackslash:
        if (ch == 'u') {
            hex_count_ = 0;
            code_ = 0;
            state_ = State::HighHex;
            return 1;
        }
        append_code_point(high_);
        state_ = State::Escape;
        return 0;

    case State::NumMinus:
        if (ch == '0') {
            int_digits_ = 1;
            state_ = State::NumZero;
            return 1;
        }
        if (is_digit(ch)) {
            int_digits_ = 1;
            state_ = State::NumInt;
            return 1;
        }
        if (ch == 'I') {  // -Infinity
            literal_ = "nfinity";
            state_ = State::Literal;
            return 1;
        }
        return stop();

    case State::NumZero:
    case State::NumInt: {
        size_t n = 0;
        if (state_ == State::NumInt) {
            while (p + n < end && is_digit(p[n]))
                ++n;
            int_digits_ += n;
            if (p + n == end)
                return n;
            ch = p[n];
        } else if (is_digit(ch)) {
            return stop();  // a leading zero
        }
        if (ch == '.') {
            int_digits_ = 0;
            state_ = State::NumFracStart;
            return n + 1;
        }
        if (ch == 'e' || ch == 'E') {
            int_digits_ = 0;
            state_ = State::NumExpStart;
            return n + 1;
        }
        end_number();
        return n;
    }

    case State::NumFracStart:
    case State::NumExpSign:
        if (!is_digit(ch))
            return stop();
        state_ = state_ == State::NumFracStart ? State::NumFrac : State::NumExp;
        return 1;

    case State::NumExpStart:
        if (ch == '+' || ch == '-') {
            state_ = State::NumExpSign;
            return 1;
        }
        if (!is_digit(ch))
            return stop();
        state_ = State::NumExp;
        return 1;

    case State::NumFrac:
    case State::NumExp: {
        size_t n = 0;
        while (p + n < end && is_digit(p[n]))
            ++n;
        if (p + n == end)
            return n;
        if (state_ == State::NumFrac && (p[n] == 'e' || p[n] == 'E')) {
            state_ = State::NumExpStart;
            return n + 1;
        }
        end_number();
        return n;
    }

    case State::Literal:
        if (ch != static_cast<unsigned char>(*literal_))
            return stop();
        if (*++literal_ == '\0')
            state_ = State::AfterValue;
        return 1;

    case State::Failed:
        return 0;
    }
    return stop();
}

// The characters of a string up to its end, an escape or the end of the piece.
size_t ProjectNameScanner::scan_string(const unsigned char *p, const unsigned char *end) {
    const unsigned char *start = p;
    bool ascii = true;
    while (p < end) {
        if (utf8_need_ == 0) {
            while (p < end && kPlain.plain[*p])
                ++p;
            if (p == end)
                break;
        }
        unsigned char ch = *p;
        if (utf8_need_ > 0) {
            if (ch < utf8_low_ || ch > utf8_high_)
                return stop();
            utf8_low_ = 0x80;
            utf8_high_ = 0xBF;
            --utf8_need_;
            ++p;
            continue;
        }
        if (ch >= 0x20 && ch < 0x80 && ch != '"' && ch != '\\') {
            ++p;
            continue;
        }
        if (ch < 0x80)
            break;  // the closing quote, a backslash or a control character
        // The lead byte of a multi-byte character: what the interpreter's
        // strict UTF-8 decoder accepts (no overlong forms, no surrogates,
        // nothing above U+10FFFF).
        if (ch < 0xC2) {
            return stop();
        } else if (ch < 0xE0) {
            utf8_need_ = 1;
        } else if (ch < 0xF0) {
            utf8_need_ = 2;
            if (ch == 0xE0)
                utf8_low_ = 0xA0;
            else if (ch == 0xED)
                utf8_high_ = 0x9F;
        } else if (ch < 0xF5) {
            utf8_need_ = 3;
            if (ch == 0xF0)
                utf8_low_ = 0x90;
            else if (ch == 0xF4)
                utf8_high_ = 0x8F;
        } else {
            return stop();
        }
        ascii = false;
        ++p;
    }
    if (capture_) {
        buffer_.append(reinterpret_cast<const char *>(start), static_cast<size_t>(p - start));
        if (!ascii)
            buffer_ascii_ = false;
    }
    size_t used = static_cast<size_t>(p - start);
    if (p == end)
        return used;
    if (*p == '"') {
        end_string();
        return used + 1;
    }
    if (*p == '\\') {
        state_ = State::Escape;
        return used + 1;
    }
    return stop();  // json.loads refuses raw control characters in strings
}

// A value begins with `ch` (not whitespace) where one must come.
bool ProjectNameScanner::begin_value(unsigned char ch) {
    Pending pending = pending_;
    pending_ = Pending::None;
    if (stack_.empty()) {
        // The document itself: anything but an object is left to the full parse.
        if (ch != '{')
            return fail();
        stack_.push_back({true, Role::Top});
        state_ = State::ObjectFirst;
        return true;
    }
    Role parent = stack_.back().role;
    if (pending == Pending::Projects) {
        if (ch != '[')
            return fail();
        stack_.push_back({false, Role::Projects});
        state_ = State::ArrayFirst;
        return true;
    }
    if (pending == Pending::Name && ch != '"')
        return fail();  // a name that is not a string
    switch (ch) {
    case '{':
    case '[': {
        if (stack_.size() >= kMaxDepth)
            return fail();
        bool object = ch == '{';
        Role role = object && parent == Role::Projects ? Role::Project : Role::Other;
        stack_.push_back({object, role});
        if (role == Role::Project) {
            name_present_ = false;
            name_.clear();
        }
        state_ = object ? State::ObjectFirst : State::ArrayFirst;
        return true;
    }
    case '"':
        string_is_key_ = false;
        capture_ = pending == Pending::Name;
        buffer_.clear();
        buffer_ascii_ = true;
        buffer_surrogates_ = false;
        state_ = State::String;
        return true;
    case '-':
        int_digits_ = 0;
        state_ = State::NumMinus;
        return true;
    case '0':
        int_digits_ = 1;
        state_ = State::NumZero;
        return true;
    case 't': literal_ = "rue"; break;
    case 'f': literal_ = "alse"; break;
    case 'n': literal_ = "ull"; break;
    case 'N': literal_ = "aN"; break;
    case 'I': literal_ = "nfinity"; break;
    default:
        if (ch >= '1' && ch <= '9') {
            int_digits_ = 1;
            state_ = State::NumInt;
            return true;
        }
        return fail();
    }
    state_ = State::Literal;
    return true;
}

bool ProjectNameScanner::close(unsigned char ch) {
    if (stack_.empty() || stack_.back().object != (ch == '}'))
        return fail();
    Role role = stack_.back().role;
    stack_.pop_back();
    state_ = State::AfterValue;
    if (role == Role::Project) {
        bool go_on = name_present_ ? sink_.project_name(name_, name_ascii_, name_surrogates_)
                                   : sink_.project_name(std::string_view(), true, false);
        if (!go_on)
            return fail();
    }
    return true;
}

bool ProjectNameScanner::end_number() {
    if (int_digits_ > kMaxIntDigits)
        return fail();
    state_ = State::AfterValue;
    return true;
}

void ProjectNameScanner::end_string() {
    if (!string_is_key_) {
        if (capture_) {  // the value of "name": a later one replaces it
            name_.swap(buffer_);
            name_present_ = true;
            name_ascii_ = buffer_ascii_;
            name_surrogates_ = buffer_surrogates_;
        }
        state_ = State::AfterValue;
        return;
    }
    pending_ = Pending::None;
    if (capture_) {
        Role role = stack_.back().role;
        if (role == Role::Top && buffer_ == "projects") {
            if (projects_seen_) {
                fail();  // which one wins is left to the full parse
                return;
            }
            projects_seen_ = true;
            pending_ = Pending::Projects;
        } else if (role == Role::Project && buffer_ == "name") {
            pending_ = Pending::Name;
        }
    }
    state_ = State::Colon;
}

// The code point of a \u escape has been read.
bool ProjectNameScanner::escaped(uint32_t code) {
    if (is_high_surrogate(code)) {
        high_ = code;
        state_ = State::HighPending;
    } else {
        append_code_point(code);
        state_ = State::String;
    }
    return true;
}

void ProjectNameScanner::append_code_point(uint32_t code) {
    if (!capture_)
        return;
    if (code < 0x80) {
        buffer_.push_back(static_cast<char>(code));
        return;
    }
    buffer_ascii_ = false;
    if (code < 0x800) {
        buffer_.push_back(static_cast<char>(0xC0 | (code >> 6)));
    } else if (code < 0x10000) {
        if (code >= 0xD800 && code <= 0xDFFF)
            buffer_surrogates_ = true;
        buffer_.push_back(static_cast<char>(0xE0 | (code >> 12)));
        buffer_.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    } else {
        buffer_.push_back(static_cast<char>(0xF0 | (code >> 18)));
        buffer_.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        buffer_.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    }
    buffer_.push_back(static_cast<char>(0x80 | (code & 0x3F)));
}

}  // namespace wheelwork
