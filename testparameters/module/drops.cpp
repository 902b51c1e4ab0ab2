// What the library dropped from a workbook on its way through a save: found
// by comparing the package read with the package written, sheet by sheet
// (matched by title) and for the workbook as a whole.
//
// Vocabulary of the items named (count and noun, plural by the count):
//  sheets:   sparkline group, data bar extension, icon set extension,
//            conditional format extension, data validation extension,
//            slicer, timeline, extension list (any other extension of the
//            sheet), form control, embedded object, custom view, scenario,
//            cell watch, protected range, rich value cell (pictures in cells
//            and linked data types), dynamic array formula (kept as an array
//            formula), text box, shape, shape group, connector, picture,
//            EMF picture, WMF picture (and other formats by their extension),
//            chart, chart style, chart color style, chart drawing, chart data
//            workbook, SmartArt diagram, drawing object, ink drawing,
//            background picture, printer settings, query table, pivot table,
//            table, threaded comment part, note part, ISO date text (a date
//            cell of type "d" that is stored as a number), and "<name> element"
//            for any other element of the sheet that the written sheet lacks;
//  workbook: VBA project, data connection list, external link, slicer
//            cache, timeline cache, custom XML part, cell metadata part,
//            rich value part, comment author list, pivot cache, thumbnail,
//            defined name (one the library does not write back),
//            text formatting run (of the shared strings, when the workbook
//            could not be opened with rich text), and "<type> part" for any
//            other part.
#include "module/keep.hpp"

#include "module/xml.hpp"

#include <map>
#include <set>

namespace tp::xl {
namespace {

using Counts = std::map<std::string, int>;

std::string tail(const std::string& type) {
    size_t slash = type.rfind('/');
    return slash == std::string::npos ? type : type.substr(slash + 1);
}

std::string lower(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = (char)(ch + 32);
    return s;
}

// The objects of a drawing part, by noun.
struct DrawingReader : xml::Handler {
    Counts& out;
    const std::vector<pkg::Relationship>& rels;
    int depth = 0;
    int object_depth = 0;       // depth of the object being read
    std::string object;         // its local name
    bool text_box = false;
    std::string picture_type;   // extension of a picture's image
    std::string graphic;        // uri of a graphic frame's data
    int choice_depth = 0;       // inside mc:AlternateContent: the first Choice counts
    bool fallback = false;
    int alternate_depth = 0;
    bool choice_taken = false;

    DrawingReader(Counts& o, const std::vector<pkg::Relationship>& r) : out(o), rels(r) {}

    bool anchor_level() const {
        // An object sits in an anchor (depth 3), or in the first Choice of an
        // AlternateContent there (depth 5).
        return depth == 3 || (alternate_depth && choice_depth && depth == choice_depth + 1);
    }

    void start(const char* name, const char** a) override {
        ++depth;
        const char* l = xml::local(name);
        if (fallback) return;
        if (object_depth) {
            if (std::strcmp(l, "cNvSpPr") == 0) {
                const char* tb = xml::attribute(a, "txBox");
                text_box = tb && (std::strcmp(tb, "1") == 0 || std::strcmp(tb, "true") == 0);
            } else if (std::strcmp(l, "blip") == 0) {
                const char* id = xml::attribute(a, "embed", true);
                if (id)
                    for (const pkg::Relationship& r : rels)
                        if (r.id == id) {
                            size_t dot = r.target.rfind('.');
                            picture_type = dot == std::string::npos ? "" : lower(r.target.substr(dot + 1));
                        }
            } else if (std::strcmp(l, "graphicData") == 0) {
                const char* uri = xml::attribute(a, "uri");
                graphic = uri ? uri : "";
            }
            return;
        }
        if (depth == 3 && std::strcmp(l, "AlternateContent") == 0) {
            alternate_depth = depth;
            choice_taken = false;
            return;
        }
        if (alternate_depth && depth == alternate_depth + 1) {
            if (std::strcmp(l, "Choice") == 0 && !choice_taken) {
                choice_depth = depth;
                choice_taken = true;
            } else {
                fallback = true;
                choice_depth = 0;
            }
            return;
        }
        if (!anchor_level()) return;
        static const char* const objects[] = {"sp", "pic", "graphicFrame", "grpSp", "cxnSp", "contentPart"};
        for (const char* o : objects)
            if (std::strcmp(l, o) == 0) {
                object = l;
                object_depth = depth;
                text_box = false;
                picture_type.clear();
                graphic.clear();
            }
    }

    void end(const char*) override {
        if (object_depth == depth) {
            count();
            object_depth = 0;
        }
        if (alternate_depth && depth == alternate_depth + 1) {
            fallback = false;
            choice_depth = 0;
        }
        if (alternate_depth == depth) alternate_depth = 0;
        --depth;
    }

    void count() {
        if (object == "sp") ++out[text_box ? "text box" : "shape"];
        else if (object == "grpSp") ++out["shape group"];
        else if (object == "cxnSp") ++out["connector"];
        else if (object == "contentPart") ++out["ink drawing"];
        else if (object == "pic") {
            std::string t = picture_type;
            if (t.empty() || t == "png" || t == "jpeg" || t == "jpg" || t == "gif" || t == "bmp") ++out["picture"];
            else {
                for (char& ch : t)
                    if (ch >= 'a' && ch <= 'z') ch = (char)(ch - 32);
                ++out[t + " picture"];
            }
        } else if (object == "graphicFrame") {
            const std::string g = lower(graphic);
            if (g.find("/chart") != std::string::npos) ++out["chart"];
            else if (g.find("diagram") != std::string::npos) ++out["SmartArt diagram"];
            else if (g.find("slicer") != std::string::npos || g.find("timeslicer") != std::string::npos) {
                // counted with the sheet's extension list
            } else ++out["drawing object"];
        }
    }
};

Counts drawing_objects(pkg::Package& p, const pkg::Sheet& sheet) {
    Counts out;
    for (const pkg::Relationship& r : sheet.rels) {
        if (r.external || tail(r.type) != "drawing" || !p.find(r.target)) continue;
        std::vector<pkg::Relationship> rels = p.relationships(r.target);
        DrawingReader h(out, rels);
        PyObject* data = p.bytes(r.target);
        xml::parse(PyBytes_AS_STRING(data), (size_t)PyBytes_GET_SIZE(data), h, true, p.shown + ": " + r.target);
    }
    return out;
}

// The parts beside the charts of a sheet's drawings (their styles, colour
// styles, drawings and data workbooks), by noun.
Counts chart_parts(pkg::Package& p, const pkg::Sheet& sheet) {
    static const std::pair<const char*, const char*> nouns[] = {
        {"chartStyle", "chart style"}, {"chartColorStyle", "chart color style"},
        {"chartUserShapes", "chart drawing"}, {"package", "chart data workbook"},
    };
    Counts out;
    for (const pkg::Relationship& r : sheet.rels) {
        if (r.external || tail(r.type) != "drawing" || !p.find(r.target)) continue;
        for (const pkg::Relationship& chart : p.relationships(r.target)) {
            if (chart.external || tail(chart.type) != "chart" || !p.find(chart.target)) continue;
            for (const pkg::Relationship& part : p.relationships(chart.target))
                for (const auto& n : nouns)
                    if (tail(part.type) == n.first) ++out[n.second];
        }
    }
    return out;
}

const char* sheet_part_noun(const std::string& type) {
    static const std::pair<const char*, const char*> nouns[] = {
        {"printerSettings", "printer settings"}, {"queryTable", "query table"}, {"pivotTable", "pivot table"},
        {"table", "table"}, {"threadedComment", "threaded comment part"}, {"comments", "note part"},
    };
    for (const auto& n : nouns)
        if (type == n.first) return n.second;
    return nullptr;
}

const char* element_noun(const std::string& element) {
    static const std::pair<const char*, const char*> nouns[] = {
        {"picture", "background picture"}, {"smartTags", "smart tag list"}, {"webPublishItems", "web publish item list"},
        {"dataConsolidate", "data consolidation"}, {"ignoredErrors", "ignored error list"},
    };
    for (const auto& n : nouns)
        if (element == n.first) return n.second;
    return nullptr;
}

// Elements of a sheet whose loss another count already tells, or which
// carry nothing the user made.
bool told_elsewhere(const std::string& element) {
    static const char* const names[] = {"extLst", "controls", "oleObjects", "customSheetViews", "scenarios",
                                        "cellWatches", "protectedRanges", "drawing", "legacyDrawing",
                                        "legacyDrawingHF", "tableParts", "sheetCalcPr", "phoneticPr",
                                        "dimension", "sheetPr", "sheetViews", "sheetFormatPr", "sheetData",
                                        "printOptions", "pageMargins", "pageSetup", "headerFooter", "cols",
                                        "sheetProtection"};
    for (const char* n : names)
        if (element == n) return true;
    return false;
}

const char* workbook_part_noun(const std::string& type, bool& skip) {
    skip = false;
    static const char* const quiet[] = {"worksheet", "chartsheet", "dialogsheet", "macrosheet", "theme",
                                        "styles", "sharedStrings", "calcChain", "volatileDependencies",
                                        "officeDocument", "core-properties", "extended-properties",
                                        "custom-properties", "metadata-core-properties"};
    for (const char* q : quiet)
        if (type == q) {
            skip = true;
            return nullptr;
        }
    static const std::pair<const char*, const char*> nouns[] = {
        {"vbaProject", "VBA project"}, {"connections", "data connection list"}, {"externalLink", "external link"},
        {"slicerCache", "slicer cache"}, {"timelineCache", "timeline cache"}, {"customXml", "custom XML part"},
        {"sheetMetadata", "cell metadata part"}, {"rdRichValue", "rich value part"},
        {"rdRichValueStructure", "rich value part"}, {"rdRichValueTypes", "rich value part"},
        {"richValueRel", "rich value part"}, {"rdArray", "rich value part"}, {"rdSupportingPropertyBag", "rich value part"},
        {"rdSupportingPropertyBagStructure", "rich value part"}, {"person", "comment author list"},
        {"pivotCacheDefinition", "pivot cache"}, {"thumbnail", "thumbnail"},
    };
    for (const auto& n : nouns)
        if (type == n.first) return n.second;
    return nullptr;
}

std::string plural(const std::string& noun, int n) {
    if (n == 1 || noun == "printer settings") return noun;
    const size_t len = noun.size();
    auto ends = [&](const char* t) {
        size_t l = std::strlen(t);
        return len >= l && noun.compare(len - l, l, t) == 0;
    };
    if (ends("x") || ends("s") || ends("ch") || ends("sh")) return noun + "es";
    if (ends("y") && len > 1 && std::strchr("aeiou", noun[len - 2]) == nullptr) return noun.substr(0, len - 1) + "ies";
    return noun + "s";
}

void lost(Counts& out, const Counts& before, const Counts& after) {
    for (const auto& kv : before) {
        auto it = after.find(kv.first);
        const int left = it == after.end() ? 0 : it->second;
        if (kv.second > left) out[kv.first] += kv.second - left;
    }
}

void describe(std::string& out, const std::string& where, const Counts& counts) {
    std::string items;
    for (const auto& kv : counts) {
        if (kv.second <= 0) continue;
        if (!items.empty()) items += ", ";
        items += std::to_string(kv.second) + " " + plural(kv.first, kv.second);
    }
    if (items.empty()) return;
    if (!out.empty()) out += "; ";
    out += where + ": " + items;
}

Counts relationship_types(const std::vector<pkg::Relationship>& rels) {
    Counts out;
    for (const pkg::Relationship& r : rels) ++out[tail(r.type)];
    return out;
}

}  // namespace

bool profile_matters(const pkg::Sheet& before) {
    if (!before.profile.items.empty()) return true;
    for (const auto& kv : before.profile.elements)
        if (!told_elsewhere(kv.first)) return true;
    return false;
}

std::string dropped(pkg::Package& original, pkg::Package& written, bool rich_text) {
    std::string out;
    for (const pkg::Sheet& before : original.sheets) {
        const pkg::Sheet* after = nullptr;
        for (const pkg::Sheet& w : written.sheets)
            if (w.title == before.title) after = &w;
        if (!after) continue;
        Counts counts;
        lost(counts, before.profile.items, after->profile.items);
        lost(counts, drawing_objects(original, before), drawing_objects(written, *after));
        lost(counts, chart_parts(original, before), chart_parts(written, *after));
        for (const auto& kv : before.profile.elements) {
            if (told_elsewhere(kv.first) || after->profile.elements.count(kv.first)) continue;
            const char* noun = element_noun(kv.first);
            counts[noun ? noun : kv.first + " element"] += kv.second;
        }
        Counts types;
        lost(types, relationship_types(before.rels), relationship_types(after->rels));
        for (const auto& kv : types)
            if (const char* noun = sheet_part_noun(kv.first)) counts[noun] += kv.second;
        if (after->dates_lost) counts["ISO date text"] += after->dates_lost;
        describe(out, before.title, counts);
    }
    Counts types, counts;
    std::vector<pkg::Relationship> root_before = original.relationships(""), root_after = written.relationships("");
    lost(types, relationship_types(original.workbook_rels), relationship_types(written.workbook_rels));
    lost(types, relationship_types(root_before), relationship_types(root_after));
    for (const auto& kv : types) {
        bool skip = false;
        const char* noun = workbook_part_noun(kv.first, skip);
        if (skip) continue;
        counts[noun ? noun : kv.first + " part"] += kv.second;
    }
    if (!rich_text) counts["text formatting run"] += original.formatted_runs;
    // Defined names, by name (without case) and the title of the sheet they belong to.
    auto scoped = [](const pkg::Package& p) {
        std::multiset<std::pair<std::string, std::string>> out;
        for (const formula::DefinedName& d : p.names) {
            const bool local = d.sheet >= 0 && (size_t)d.sheet < p.sheets.size();
            out.emplace(lower(d.name), local ? p.sheets[(size_t)d.sheet].title : std::string());
        }
        return out;
    };
    const auto names_after = scoped(written);
    for (const auto& name : scoped(original))
        if (!names_after.count(name)) ++counts["defined name"];
    describe(out, "workbook", counts);
    return out;
}

}  // namespace tp::xl
