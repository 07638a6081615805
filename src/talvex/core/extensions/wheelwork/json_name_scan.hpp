// A validating JSON scanner that reads the project names out of a simple-index
// document piece by piece, without building the document.
//
// It accepts exactly what the interpreter's json.loads accepts (RFC 8259 plus
// NaN, Infinity, -Infinity and lone surrogate escapes; duplicate keys, the last
// one winning) and decodes names exactly as json.loads does.  Whenever a
// document leaves the expected shape -- anything json.loads would reject, a
// top level that is not an object, a "projects" member that is missing, not an
// array or given twice, a "name" that is not a string, invalid UTF-8, nesting
// deeper than kMaxDepth, an integer too long for int() -- the scan gives up and
// the caller parses the document the ordinary way.  Giving up is always safe;
// accepting is only done for documents whose parse would yield the same names.
//
// Plain C++20 without platform interfaces or Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wheelwork {

// Told the "name" of each object element of "projects", in document order,
// once the object is closed (the last "name" member when there are several).
class ProjectNameSink {
public:
    virtual ~ProjectNameSink() = default;
    // `utf8`: the decoded name, UTF-8; "" when the object has no "name".
    // `ascii`: every character is ASCII.  `lone_surrogates`: the name holds
    // surrogate code points (from \u escapes), each encoded as a three-byte
    // sequence, so it must be decoded with "surrogatepass".  Returning false
    // ends the scan (the document is then left to the full parser).
    virtual bool project_name(std::string_view utf8, bool ascii, bool lone_surrogates) = 0;
};

class ProjectNameScanner {
public:
    // Deeper nesting is left to the full parser (which has its own limit).
    static constexpr size_t kMaxDepth = 200;
    // Integers with more digits are left to the full parser: int() refuses
    // strings longer than sys.get_int_max_str_digits(), which is never below 640.
    static constexpr size_t kMaxIntDigits = 640;

    explicit ProjectNameScanner(ProjectNameSink &sink) : sink_(sink) {}

    // Scans the next piece of the document (pieces may split it anywhere, even
    // inside a character).  Returns false once the scan has given up; it then
    // ignores further pieces.
    bool feed(std::string_view piece);
    // After the last piece: true when the whole document was scanned, is valid
    // JSON and has the expected shape.  Only then are the names reported to the
    // sink the document's names.
    bool finish();

    bool failed() const { return state_ == State::Failed; }

private:
    enum class State : uint8_t {
        Value,          // a value must come
        ArrayFirst,     // after "[": a value or "]"
        ObjectFirst,    // after "{": a key or "}"
        Key,            // after "," in an object: a key
        Colon,          // after a key
        AfterValue,     // "," or a closing bracket, or the end of the document
        String,         // inside a string
        Escape,         // after a backslash in a string
        Hex,            // in the four digits of \u
        HighPending,    // after the escape of a high surrogate
        HighBackslash,  // ... and a backslash
        HighHex,        // ... and "\u": the digits of a possible low surrogate
        NumMinus,       // after "-"
        NumZero,        // after a leading "0"
        NumInt,         // in the integer digits
        NumFracStart,   // after "."
        NumFrac,        // in the fraction digits
        NumExpStart,    // after "e" or "E"
        NumExpSign,     // after the exponent's sign
        NumExp,         // in the exponent digits
        Literal,        // in true, false, null, NaN or (-)Infinity
        Failed,
    };
    // What an open container is to the scan.
    enum class Role : uint8_t { Other, Top, Projects, Project };
    // What the value after the current key is.
    enum class Pending : uint8_t { None, Projects, Name };

    struct Frame {
        bool object;
        Role role;
    };

    size_t step(const unsigned char *p, const unsigned char *end);
    size_t scan_string(const unsigned char *p, const unsigned char *end);
    bool begin_value(unsigned char ch);
    bool close(unsigned char ch);
    bool end_number();
    void end_string();
    bool escaped(uint32_t code);
    void append_code_point(uint32_t code);
    bool fail() {
        state_ = State::Failed;
        return false;
    }
    size_t stop() {
        state_ = State::Failed;
        return 0;
    }

    ProjectNameSink &sink_;
    State state_ = State::Value;
    std::vector<Frame> stack_;
    Pending pending_ = Pending::None;
    bool projects_seen_ = false;

    // The string being read.
    bool string_is_key_ = false;
    bool capture_ = false;
    std::string buffer_;
    bool buffer_ascii_ = true;
    bool buffer_surrogates_ = false;
    int utf8_need_ = 0;  // continuation bytes still due
    unsigned char utf8_low_ = 0x80, utf8_high_ = 0xBF;  // range of the next one
    int hex_count_ = 0;
    uint32_t code_ = 0;  // \u digits read so far
    uint32_t high_ = 0;  // a high surrogate waiting for its partner

    // The number or literal being read.
    size_t int_digits_ = 0;
    const char *literal_ = nullptr;  // the characters still due

    // The current project object's name.
    bool name_present_ = false;
    std::string name_;
    bool name_ascii_ = true;
    bool name_surrogates_ = false;
};

}  // namespace wheelwork
