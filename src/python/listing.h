// What the binding layer declares, listed as it is loaded: every callable with its
// parameters' annotations and defaults, every attribute with its annotation, and the type
// aliases those annotations use. The test-only probe module hands it to tools/gen_stub.py,
// which writes the module's stub from it.
#pragma once

#include <string>
#include <vector>

#include "python/signature.h"

namespace tarnwick::python {

struct ListedParam {
    std::string name;
    std::string annotation;
    bool has_default;
    std::string default_text;
};

struct ListedCallable {
    std::string display;  // "sma", "KernelSession.step", "BacktestConfig.__new__"
    CallKind kind;
    std::vector<ListedParam> params;
    std::string returns;
};

struct ListedAttribute {
    std::string owner;  // the class's Python name
    std::string name;
    std::string annotation;
    bool writable;
};

struct ListedAlias {
    std::string name;
    std::string definition;
};

struct Listing {
    std::vector<ListedCallable> callables;
    std::vector<ListedAttribute> attributes;
    std::vector<ListedAlias> aliases;
};

Listing& listing();

// Lists a type alias of the stub once, and gives its name for an annotation to use.
std::string alias(const char* name, const char* definition);

}  // namespace tarnwick::python
