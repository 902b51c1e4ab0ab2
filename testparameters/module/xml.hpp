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

}  // namespace tp::xml
