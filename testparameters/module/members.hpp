// The rows of the member tables of the three classes. Each row lives next to
// its body, in the folder of its class: the member's name, its parameter list
// as a `def` writes it (with defaults and annotations), and the body, which
// reads its arguments by name from a struct declared with TP_ARGUMENTS.
// classes.cpp holds only the order of each class's members.
#pragma once

#include "module/function.hpp"

#include <cstddef>

namespace tp {

enum class Kind {
    Method,    // a function
    Getter,    // property(function)
    Setter,    // <current binding>.setter(function)
    Alias,     // the object bound under another name of the namespace
    Constant,  // an int
};

struct Member {
    Kind kind;
    const char* name;
    const char* signature;   // parameter list of a function, as a def writes it
    Impl impl;
    const char* parameters;  // the names the body reads its arguments by, in order
    size_t nparameters;
    const char* target;      // Alias: the name aliased
    long constant;
};

// The arguments of a body: one member per parameter of its signature, in
// order, *args and **kwargs last, named as the parameters are (a C++ keyword
// with a trailing underscore: new_, default_). Making the function checks the
// names against the signature's.
using Arg = PyObject*;
#define TP_ARGUMENTS(Type, ...)                                      \
    struct Type {                                                    \
        ::tp::Arg __VA_ARGS__;                                       \
        static constexpr const char* names = #__VA_ARGS__;           \
    }

template <class A, Ref (*Body)(const Call&, const A&)>
Ref with_arguments(const Call& c) {
    return Body(c, c.arguments<A>());
}

template <class A, Ref (*Body)(const Call&, const A&)>
constexpr Member function_row(Kind kind, const char* name, const char* signature) {
    return {kind, name, signature, &with_arguments<A, Body>, A::names, sizeof(A) / sizeof(Arg), nullptr, 0};
}
template <class A, Ref (*Body)(const Call&, const A&)>
constexpr Member method(const char* name, const char* signature) {
    return function_row<A, Body>(Kind::Method, name, signature);
}
template <class A, Ref (*Body)(const Call&, const A&)>
constexpr Member getter(const char* name, const char* signature) {
    return function_row<A, Body>(Kind::Getter, name, signature);
}
template <class A, Ref (*Body)(const Call&, const A&)>
constexpr Member setter(const char* name, const char* signature) {
    return function_row<A, Body>(Kind::Setter, name, signature);
}
constexpr Member alias(const char* name, const char* target) {
    return {Kind::Alias, name, nullptr, nullptr, nullptr, 0, target, 0};
}
constexpr Member constant(const char* name, long value) {
    return {Kind::Constant, name, nullptr, nullptr, nullptr, 0, nullptr, value};
}

// Parameter (parameter/parameter.cpp)
extern const Member kParameterInit;

// SheetParameters: the table (sheet/table.cpp)
extern const Member kSheetInit, kSheetName, kSheetRename, kSheetNameGet, kSheetNameSet, kSheetParameterNames,
    kSheetSetParameter, kSheetGetParameter, kSheetHasParameter, kSheetGetValue, kSheetGet, kSheetSetValue, kSheetSet;
// loading (sheet/load.cpp), parsing (sheet/parse.cpp), queries (sheet/queries.cpp), saving (sheet/save.cpp)
extern const Member kSheetLoad, kSheetParseValue, kSheetPrefixCount, kSheetPrefixNames, kSheetPrefixParameters,
    kSheetPostfixCount, kSheetPostfixNames, kSheetPostfixParameters, kSheetSave;

// BookParameters (book/book.cpp, book/save.cpp)
extern const Member kBookLimitModeAbsolute, kBookLimitModeRelative, kBookInit, kBookGetAllSheetNames,
    kBookSheetRename, kBookUnloadSheet, kBookLoadSheet, kBookHasSheet, kBookGetSheetParameters, kBookGetParameter,
    kBookGetParameterFromSheet, kBookHasParameter, kBookGetValue, kBookGet, kBookSetValue, kBookSet, kBookGetLow,
    kBookGetUp, kBookSave, kBookSaveAs;

}  // namespace tp
