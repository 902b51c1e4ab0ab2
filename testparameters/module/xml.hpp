// XML parts of a workbook package, read with expat (the parser CPython carries,
// reached through its pyexpat capsule) under the same hardening as loading: a
// document type declaration (and with it any entity declaration) is refused
// before the parser reads past its name. And the few writing helpers that
// re-serialising parse events needs.
#pragma once

#include "module/ref.hpp"

#include <cstring>
#include <string>

namespace tp::xml {

// Receives the events of one parse. Names are "uri local" when the parse
// resolves namespaces, otherwise as written ("x:c"); attributes come as a
// null-terminated array of name, value pairs.
class Handler {
public:
    virtual ~Handler() = default;
    virtual void start(const char* name, const char** attributes) = 0;
    virtual void end(const char* name) = 0;
    virtual void text(const char*, int) {}
    // False when text() would ignore every call: the parse then skips them.
    virtual bool wants_text() const { return true; }
    // Markup outside elements and anything no other event reports (the XML
    // declaration, comments, processing instructions), as written.
    virtual void other(const char*, int) {}
};

// Parses a whole part. `part` names it in the ValueError raised for XML that
// is not well-formed or that holds a document type declaration.
void parse(const char* data, size_t size, Handler& handler, bool namespaces, const std::string& part);

// The local part of an element or attribute name ("uri local", "x:local" or "local").
inline const char* local(const char* name) {
    const char* space = std::strrchr(name, ' ');
    if (space) return space + 1;
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

inline bool is(const char* name, const char* local_name) { return std::strcmp(local(name), local_name) == 0; }

// The value of the attribute whose local name is `local_name` (and that lies
// in no namespace unless `any_namespace`), or null.
const char* attribute(const char** attributes, const char* local_name, bool any_namespace = false);

// Appends `s` escaped for character data, or for a double-quoted attribute value.
void escape_text(std::string& out, const char* s, size_t len);
void escape_attribute(std::string& out, const char* s);

// Appends a start tag as given (`close` makes it an empty element).
void start_tag(std::string& out, const char* name, const char** attributes, bool close = false);

// Writes the events it receives back as XML; subclasses change what they need.
class Rewriter : public Handler {
public:
    std::string out;

protected:
    std::string* sink = &out;
    bool pending = false;  // a start tag waits for its ">" (or "/>")

    void close_pending() {
        if (pending) {
            *sink += '>';
            pending = false;
        }
    }
    void open(const char* name, const char** attributes) {
        close_pending();
        *sink += '<';
        *sink += name;
        for (const char** a = attributes; *a; a += 2) {
            *sink += ' ';
            *sink += a[0];
            *sink += "=\"";
            escape_attribute(*sink, a[1]);
            *sink += '"';
        }
        pending = true;
    }
    void close(const char* name) {
        if (pending) {
            *sink += "/>";
            pending = false;
        } else {
            *sink += "</";
            *sink += name;
            *sink += '>';
        }
    }

public:
    void start(const char* name, const char** attributes) override { open(name, attributes); }
    void end(const char* name) override { close(name); }
    void text(const char* s, int len) override {
        close_pending();
        escape_text(*sink, s, (size_t)len);
    }
    void other(const char* s, int len) override {
        // CDATA markers: their content came as text and is escaped as such.
        if ((len == 9 && std::memcmp(s, "<![CDATA[", 9) == 0) || (len == 3 && std::memcmp(s, "]]>", 3) == 0)) return;
        close_pending();
        sink->append(s, (size_t)len);
    }
};

}  // namespace tp::xml
