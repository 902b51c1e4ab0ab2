#include "sheet/literal.hpp"

#include <cstring>
#include <string>

namespace tp {
namespace {

constexpr int kMaxNesting = 32;

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }
bool is_hex(char ch) { return is_digit(ch) || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F'); }
// What may follow a complete token: anything else (a letter, a dot, a
// quote, an operator) means the text is not a plain literal.
bool ends_token(char ch) { return ch == '\0' || ch == ' ' || ch == '\t' || ch == ',' || ch == ']'; }

class Reader {
public:
    explicit Reader(const char* p) : p_(p) {}

    // The whole text as one value, or an empty Ref.
    Ref text() {
        Ref v = value(0);
        if (!v) return v;
        blanks();
        if (*p_ != '\0') return Ref();
        return v;
    }

private:
    void blanks() {
        while (*p_ == ' ' || *p_ == '\t') ++p_;
    }

    Ref value(int depth) {
        blanks();
        const char ch = *p_;
        if (ch == '[') return list(depth + 1);
        if (ch == '-' || ch == '+') {
            ++p_;
            blanks();
            Ref n = number();
            if (!n) return n;
            return check(ch == '-' ? PyNumber_Negative(n) : PyNumber_Positive(n));
        }
        if (is_digit(ch) || ch == '.') return number();
        if (word("True")) return Ref::borrow(Py_True);
        if (word("False")) return Ref::borrow(Py_False);
        if (word("None")) return Ref::borrow(Py_None);
        return Ref();
    }

    bool word(const char* w) {
        const size_t len = std::strlen(w);
        if (std::strncmp(p_, w, len) != 0 || !ends_token(p_[len])) return false;
        p_ += len;
        return true;
    }

    Ref list(int depth) {
        if (depth > kMaxNesting) return Ref();
        ++p_;  // '['
        Ref result = check(PyList_New(0));
        blanks();
        if (*p_ == ']') {
            ++p_;
            return result;
        }
        for (;;) {
            Ref item = value(depth);
            if (!item) return item;
            check_status(PyList_Append(result, item));
            blanks();
            if (*p_ == ']') {
                ++p_;
                return result;
            }
            if (*p_ != ',') return Ref();
            ++p_;
            blanks();
            if (*p_ == ']') {  // trailing comma
                ++p_;
                return result;
            }
        }
    }

    Ref number() {
        const char* start = p_;
        if (p_[0] == '0' && (p_[1] == 'x' || p_[1] == 'X')) {
            const char* q = p_ + 2;
            while (is_hex(*q)) ++q;
            const size_t digits = (size_t)(q - p_ - 2);
            if (digits == 0 || digits > 15 || !ends_token(*q)) return Ref();
            p_ = q;
            return check(PyLong_FromString(std::string(start, q).c_str(), nullptr, 16));
        }
        const char* q = p_;
        while (is_digit(*q)) ++q;
        const size_t int_digits = (size_t)(q - p_);
        bool is_float = false;
        if (*q == '.') {
            is_float = true;
            ++q;
            const char* frac = q;
            while (is_digit(*q)) ++q;
            if (int_digits == 0 && q == frac) return Ref();  // a lone "."
        }
        if (*q == 'e' || *q == 'E') {
            if (int_digits == 0 && !is_float) return Ref();
            is_float = true;
            ++q;
            if (*q == '+' || *q == '-') ++q;
            const char* exp = q;
            while (is_digit(*q)) ++q;
            if (q == exp || q - exp > 4) return Ref();
        }
        if (!ends_token(*q) || q - p_ > 40) return Ref();
        std::string token(start, q);
        p_ = q;
        if (is_float) {
            double d = PyOS_string_to_double(token.c_str(), nullptr, nullptr);
            if (d == -1.0 && PyErr_Occurred()) raise();
            return check(PyFloat_FromDouble(d));
        }
        // A decimal integer: a leading zero is allowed only for 0 itself.
        if (int_digits == 0 || int_digits > 18 || (token[0] == '0' && int_digits > 1)) return Ref();
        return check(PyLong_FromString(token.c_str(), nullptr, 10));
    }

    const char* p_;
};

}  // namespace

Ref plain_literal(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return Ref();
    const char* p = static_cast<const char*>(PyUnicode_DATA(text));
    // A NUL inside the text is not the end of it.
    if (std::strlen(p) != (size_t)PyUnicode_GET_LENGTH(text)) return Ref();
    return Reader(p).text();
}

}  // namespace tp
