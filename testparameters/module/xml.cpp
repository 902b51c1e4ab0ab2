#include "module/xml.hpp"

#include "module/expat.hpp"

#include <cstddef>
#include <exception>

namespace tp::xml {
namespace {

const expat::CAPI* capi() {
    static const expat::CAPI* table = nullptr;
    if (table) return table;
    auto* found = static_cast<const expat::CAPI*>(PyCapsule_Import(TP_EXPAT_CAPSULE_NAME, 0));
    if (!found) raise();
    if (!found->magic || std::strcmp(found->magic, TP_EXPAT_CAPI_MAGIC) != 0 ||
        found->size < (int)offsetof(expat::CAPI, SetReparseDeferralEnabled))
        raise(PyExc_ImportError, "pyexpat's expat_CAPI capsule is not the table this module was built for");
    table = found;
    return table;
}

struct Run {
    explicit Run(Handler& h) : handler(h) {}
    Handler& handler;
    std::exception_ptr failure;
    bool stopped = false;   // an error or a doctype: later events are ignored
    bool doctype = false;
    bool in_root = false;
};

template <class F>
void guarded(void* data, F&& f) {
    Run& run = *static_cast<Run*>(data);
    if (run.stopped) return;
    try {
        f(run);
    } catch (...) {
        run.failure = std::current_exception();
        run.stopped = true;
    }
}

void on_start(void* data, const char* name, const char** attributes) {
    guarded(data, [&](Run& run) {
        run.in_root = true;
        run.handler.start(name, attributes);
    });
}
void on_end(void* data, const char* name) {
    guarded(data, [&](Run& run) { run.handler.end(name); });
}
void on_text(void* data, const char* s, int len) {
    guarded(data, [&](Run& run) { run.handler.text(s, len); });
}
void on_ignored_text(void*, const char*, int) {}
void on_other(void* data, const char* s, int len) {
    guarded(data, [&](Run& run) { run.handler.other(s, len); });
}
void on_doctype(void* data, const char*, const char*, const char*, int) {
    Run& run = *static_cast<Run*>(data);
    run.doctype = true;
    run.stopped = true;
}

struct Parser {
    const expat::CAPI* api;
    expat::XML_Parser p;
    Parser(const expat::CAPI* a, bool namespaces) : api(a) {
        static const char separator[] = " ";
        p = api->ParserCreate_MM(nullptr, nullptr, namespaces ? separator : nullptr);
        if (!p) throw std::bad_alloc();
    }
    ~Parser() { api->ParserFree(p); }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;
};

[[noreturn]] void refuse(const std::string& part, const char* what) {
    PyErr_Format(PyExc_ValueError, "%s: %s", part.c_str(), what);
    raise();
}

}  // namespace

void parse(const char* data, size_t size, Handler& handler, bool namespaces, const std::string& part) {
    const expat::CAPI* api = capi();
    Parser parser(api, namespaces);
    Run run(handler);
    api->SetUserData(parser.p, &run);
    api->SetElementHandler(parser.p, on_start, on_end);
    // (Text needs a handler even when ignored: it would go to on_other.)
    api->SetCharacterDataHandler(parser.p, handler.wants_text() ? on_text : on_ignored_text);
    api->SetDefaultHandlerExpand(parser.p, on_other);
    api->SetStartDoctypeDeclHandler(parser.p, on_doctype);
    if (api->size >= (int)(offsetof(expat::CAPI, SetReparseDeferralEnabled) + sizeof(void*)) &&
        api->SetReparseDeferralEnabled)
        api->SetReparseDeferralEnabled(parser.p, 0);

    // Up to the root element the text is handed over a byte at a time, so a
    // document type declaration is seen as soon as its name is read and
    // nothing after it (entity declarations, their expansion) is parsed.
    size_t pos = 0;
    bool ok = true;
    while (ok && pos < size && !run.in_root && !run.stopped) {
        ok = api->Parse(parser.p, data + pos, 1, 0) != expat::XML_STATUS_ERROR;
        ++pos;
    }
    const size_t chunk = (size_t)1 << 30;
    while (ok && !run.stopped && pos < size) {
        size_t n = size - pos < chunk ? size - pos : chunk;
        ok = api->Parse(parser.p, data + pos, (int)n, 0) != expat::XML_STATUS_ERROR;
        pos += n;
    }
    if (ok && !run.stopped) ok = api->Parse(parser.p, data + pos, 0, 1) != expat::XML_STATUS_ERROR;
    if (run.doctype) refuse(part, "a document type declaration is not allowed in a workbook part");
    if (run.failure) std::rethrow_exception(run.failure);
    if (!ok) {
        PyErr_Format(PyExc_ValueError, "%s: not well-formed XML (%s at line %lu)", part.c_str(),
                     api->ErrorString(api->GetErrorCode(parser.p)),
                     (unsigned long)api->GetErrorLineNumber(parser.p));
        raise();
    }
}

const char* attribute(const char** attributes, const char* local_name, bool any_namespace) {
    for (const char** a = attributes; *a; a += 2) {
        const char* name = a[0];
        if (!any_namespace && (std::strchr(name, ' ') || std::strchr(name, ':'))) continue;
        if (std::strcmp(local(name), local_name) == 0) return a[1];
    }
    return nullptr;
}

void escape_text(std::string& out, const char* s, size_t len) {
    size_t plain = 0;
    for (size_t i = 0; i < len; ++i) {
        const char* rep;
        switch (s[i]) {
        case '&': rep = "&amp;"; break;
        case '<': rep = "&lt;"; break;
        case '>': rep = "&gt;"; break;
        case '\r': rep = "&#13;"; break;
        default: continue;
        }
        out.append(s + plain, i - plain);
        out.append(rep);
        plain = i + 1;
    }
    out.append(s + plain, len - plain);
}

void escape_attribute(std::string& out, const char* s) {
    for (; *s; ++s) {
        switch (*s) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        case '\t': out += "&#9;"; break;
        default: out += *s;
        }
    }
}

void start_tag(std::string& out, const char* name, const char** attributes, bool close) {
    out += '<';
    out += name;
    for (const char** a = attributes; *a; a += 2) {
        out += ' ';
        out += a[0];
        out += "=\"";
        escape_attribute(out, a[1]);
        out += '"';
    }
    out += close ? "/>" : ">";
}

}  // namespace tp::xml
