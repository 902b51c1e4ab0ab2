#include "module/parts.hpp"

#include "module/xml.hpp"

#include <deque>
#include <map>
#include <set>
#include <vector>

namespace tp::xl {
namespace {

const char* const kContentTypes = "[Content_Types].xml";

std::string lower(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = (char)(ch + 32);
    return s;
}

bool ends_with(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// A part name as a relationship may write it: %XX escapes decoded.
std::string unescaped(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        auto hex = [](char ch) {
            return ch >= '0' && ch <= '9' ? ch - '0' : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                                                     : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
        };
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += (char)(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The part whose relationships `rels` holds ("" for the package's own).
bool source_of(const std::string& rels, std::string& source) {
    if (!ends_with(lower(rels), ".rels")) return false;
    const size_t marker = lower(rels).rfind("_rels/");
    if (marker == std::string::npos || (marker && rels[marker - 1] != '/')) return false;
    source = rels.substr(0, marker) + rels.substr(marker + 6, rels.size() - marker - 6 - 5);
    return true;
}

// [Content_Types].xml: types by extension and by part.
struct ContentTypes : xml::Handler {
    std::unordered_map<std::string, std::string> defaults;   // lower-case extension
    std::unordered_map<std::string, std::string> overrides;  // lower-case part name, no leading "/"

    void start(const char* name, const char** a) override {
        const char* type = xml::attribute(a, "ContentType");
        if (!type) return;
        if (xml::is(name, "Default")) {
            if (const char* ext = xml::attribute(a, "Extension")) defaults.emplace(lower(ext), type);
        } else if (xml::is(name, "Override")) {
            if (const char* part = xml::attribute(a, "PartName"))
                overrides.emplace(lower(part[0] == '/' ? part + 1 : part), type);
        }
    }
    void end(const char*) override {}

    std::string of(const std::string& part) const {
        auto o = overrides.find(lower(part));
        if (o != overrides.end()) return o->second;
        const size_t dot = part.rfind('.'), slash = part.rfind('/');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string();
        auto d = defaults.find(lower(part.substr(dot + 1)));
        return d == defaults.end() ? std::string() : d->second;
    }
};

ContentTypes content_types(pkg::Package& p) {
    ContentTypes out;
    if (PyObject* data = p.bytes(kContentTypes))
        xml::parse(PyBytes_AS_STRING(data), (size_t)PyBytes_GET_SIZE(data), out, true, p.shown + ": " + kContentTypes);
    return out;
}

// [Content_Types].xml with the overrides of `types` set (part name -> type).
class ContentTypesRewriter : public xml::Rewriter {
public:
    explicit ContentTypesRewriter(const std::map<std::string, std::string>& t) : types(t) {}
    void start(const char* name, const char** a) override {
        ++depth;
        if (depth == 1) {
            const char* colon = std::strchr(name, ':');
            prefix = colon ? std::string(name, (size_t)(colon - name + 1)) : std::string();
        }
        const char* part = depth == 2 && xml::is(name, "Override") ? xml::attribute(a, "PartName") : nullptr;
        auto it = part ? find(part) : types.end();
        if (it == types.end()) return open(name, a);
        done.insert(it->first);
        std::vector<const char*> attrs;
        for (const char** p = a; *p; p += 2) {
            attrs.push_back(p[0]);
            attrs.push_back(std::strcmp(p[0], "ContentType") == 0 ? it->second.c_str() : p[1]);
        }
        attrs.push_back(nullptr);
        open(name, attrs.data());
    }
    void end(const char* name) override {
        if (depth == 1) {
            for (const auto& kv : types) {
                if (done.count(kv.first)) continue;
                const std::string element = prefix + "Override", part = "/" + kv.first;
                const char* attributes[] = {"PartName", part.c_str(), "ContentType", kv.second.c_str(), nullptr};
                open(element.c_str(), attributes);
                close(element.c_str());
            }
        }
        close(name);
        --depth;
    }

private:
    std::map<std::string, std::string>::const_iterator find(const char* part) const {
        const std::string name = lower(part[0] == '/' ? part + 1 : part);
        for (auto it = types.begin(); it != types.end(); ++it)
            if (lower(it->first) == name) return it;
        return types.end();
    }
    const std::map<std::string, std::string>& types;
    std::set<std::string> done;
    std::string prefix;
    int depth = 0;
};

// A relationships part without the relationships `removed` (by id) and with
// `added` (type, target as written).
class RelsRewriter : public xml::Rewriter {
public:
    RelsRewriter(const std::set<std::string>& r, const std::vector<std::pair<std::string, std::string>>& a)
        : removed(r), added(a) {}
    void start(const char* name, const char** a) override {
        ++depth;
        if (depth == 1) {
            const char* colon = std::strchr(name, ':');
            prefix = colon ? std::string(name, (size_t)(colon - name + 1)) : std::string();
        }
        if (skip) return;
        if (depth == 2 && xml::is(name, "Relationship")) {
            const char* id = xml::attribute(a, "Id");
            if (id) ids.insert(id);
            if (id && removed.count(id)) {
                skip = depth;
                return;
            }
        }
        open(name, a);
    }
    void end(const char* name) override {
        if (skip) {
            if (skip == depth) skip = 0;
            --depth;
            return;
        }
        if (depth == 1) {
            int next = 1;
            for (const auto& rel : added) {
                while (ids.count("rId" + std::to_string(next))) ++next;
                const std::string id = "rId" + std::to_string(next++);
                const std::string element = prefix + "Relationship";
                const char* attributes[] = {"Id", id.c_str(), "Type", rel.first.c_str(), "Target", rel.second.c_str(),
                                            nullptr};
                open(element.c_str(), attributes);
                close(element.c_str());
            }
        }
        close(name);
        --depth;
    }
    void text(const char* s, int len) override {
        if (!skip) Rewriter::text(s, len);
    }
    void other(const char* s, int len) override {
        if (!skip) Rewriter::other(s, len);
    }

private:
    const std::set<std::string>& removed;
    const std::vector<std::pair<std::string, std::string>>& added;
    std::set<std::string> ids;
    std::string prefix;
    int depth = 0, skip = 0;
};

std::string rewritten(pkg::Package& p, const std::string& part, xml::Rewriter& r) {
    PyObject* data = p.bytes(part);
    xml::parse(PyBytes_AS_STRING(data), (size_t)PyBytes_GET_SIZE(data), r, false, p.shown + ": " + part);
    return std::move(r.out);
}

bool same_bytes(PyObject* a, PyObject* b) {
    return a && b && PyBytes_GET_SIZE(a) == PyBytes_GET_SIZE(b) &&
           std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), (size_t)PyBytes_GET_SIZE(a)) == 0;
}

class Restorer {
public:
    Restorer(pkg::Package& o, pkg::Package& w, std::unordered_map<std::string, std::string>& r)
        : original(o), written(w), replacement(r), before(content_types(o)), after(content_types(w)) {}

    // Parts copied byte for byte: their type and relationships.
    void copied_parts() {
        const Names& n = written.c.n();
        const size_t count = written.entries.size();
        for (size_t i = 0; i < count; ++i) {
            const std::string name = written.entries[i].name;
            if (ends_with(lower(name), ".rels") || lower(name) == lower(kContentTypes) || ends_with(name, "/")) continue;
            pkg::Entry* was = original.find(name);
            if (!was) continue;
            const std::string type = before.of(name);
            const bool retype = !type.empty() && type != after.of(name);
            const std::string rels = pkg::rels_part(name);
            const bool lost_rels = original.find(rels) && !written.find(rels);
            if (!retype && !lost_rels) continue;
            Ref size_before = getattr(was->info, n.file_size);
            Ref size_after = getattr(written.entries[i].info, n.file_size);
            if (!check_status(PyObject_RichCompareBool(size_before, size_after, Py_EQ))) continue;
            if (!same_bytes(original.bytes(name), written.bytes(name))) continue;
            if (retype) types[name] = type;
            if (lost_rels) bring(rels);
        }
        drain();
    }

    // The custom document properties of the original, in place of the library's.
    void custom_properties() {
        const pkg::Relationship* kept = nullptr;
        std::vector<pkg::Relationship> root_before = original.relationships("");
        for (const pkg::Relationship& r : root_before)
            if (!r.external && ends_with(r.type, "/custom-properties") && original.find(r.target)) kept = &r;
        if (!kept) return;
        for (const pkg::Relationship& r : written.relationships("")) {
            if (r.external || !ends_with(r.type, "/custom-properties") || !written.find(r.target)) continue;
            PyObject* data = original.bytes(kept->target);
            if (!same_bytes(data, written.bytes(r.target)))
                replacement[written.find(r.target)->name].assign(PyBytes_AS_STRING(data), (size_t)PyBytes_GET_SIZE(data));
            return;
        }
        if (written.find(kept->target)) return;  // a part of that name is something else now
        bring(kept->target);
        drain();
        added_rels["_rels/.rels"].emplace_back(kept->type, kept->target);
    }

    // Relationships to parts the package lacks: the part comes from the
    // original, or the relationship goes.
    void dangling() {
        for (size_t i = 0; i < written.entries.size(); ++i) {
            const std::string rels = written.entries[i].name;
            std::string source;
            if (!source_of(rels, source)) continue;
            for (const pkg::Relationship& r : written.relationships(source)) {
                if (r.external || r.target.empty() || present(r.target)) continue;
                if (original.find(r.target) || original.find(unescaped(r.target))) {
                    bring(original.find(r.target) ? r.target : unescaped(r.target));
                    drain();
                } else {
                    removed[rels].insert(r.id);
                }
            }
        }
    }

    // Writes the edits of content types and relationships; whether parts were added.
    bool finish() {
        std::set<std::string> rels_parts;
        for (const auto& kv : removed) rels_parts.insert(kv.first);
        for (const auto& kv : added_rels) rels_parts.insert(kv.first);
        static const std::set<std::string> none_removed;
        static const std::vector<std::pair<std::string, std::string>> none_added;
        for (const std::string& rels : rels_parts) {
            pkg::Entry* e = written.find(rels);
            if (!e) continue;
            auto r = removed.find(rels);
            auto a = added_rels.find(rels);
            std::vector<std::pair<std::string, std::string>> targets;
            if (a != added_rels.end()) {
                for (const auto& rel : a->second) targets.emplace_back(rel.first, "/" + rel.second);
            }
            RelsRewriter rewriter(r == removed.end() ? none_removed : r->second, targets);
            replacement[e->name] = rewritten(written, e->name, rewriter);
        }
        if (!types.empty() && written.find(kContentTypes)) {
            ContentTypesRewriter rewriter(types);
            replacement[written.find(kContentTypes)->name] = rewritten(written, kContentTypes, rewriter);
        }
        return added;
    }

private:
    bool present(const std::string& part) { return written.find(part) || written.find(unescaped(part)); }

    // Copies a part of the original that `written` lacks, with its type; its
    // relationships and what they point to follow (see drain).
    void bring(const std::string& part) {
        pkg::Entry* was = original.find(part);
        if (!was || written.find(part)) return;
        pkg::Entry e;
        e.name = was->name;
        e.info = was->info.copy();
        e.data = Ref::borrow(original.bytes(part));
        written.add(std::move(e));
        added = true;
        const std::string type = before.of(part);
        if (!type.empty() && type != after.of(part)) types[part] = type;
        std::string source;
        if (source_of(part, source)) queue.push_back(part);
        else if (original.find(pkg::rels_part(part))) bring(pkg::rels_part(part));
    }

    // The parts that the relationships brought along point to.
    void drain() {
        while (!queue.empty()) {
            const std::string rels = queue.front();
            queue.pop_front();
            std::string source;
            source_of(rels, source);
            for (const pkg::Relationship& r : original.relationships(source))
                if (!r.external && !present(r.target)) bring(original.find(r.target) ? r.target : unescaped(r.target));
        }
    }

    pkg::Package& original;
    pkg::Package& written;
    std::unordered_map<std::string, std::string>& replacement;
    ContentTypes before, after;
    std::map<std::string, std::string> types;
    std::map<std::string, std::set<std::string>> removed;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> added_rels;
    std::deque<std::string> queue;
    bool added = false;
};

}  // namespace

bool keep_package_structure(pkg::Package& original, pkg::Package& written,
                            std::unordered_map<std::string, std::string>& replacement) {
    Restorer r(original, written, replacement);
    r.copied_parts();
    r.custom_properties();
    r.dangling();
    return r.finish();
}

}  // namespace tp::xl
