// Shared pieces of the aboutmeta module: the per-concern parts the module frame is
// assembled from, and the fixed texts more than one concern uses.
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/idioms.hpp"
#include "runtime/module.hpp"

namespace aboutmeta {

namespace nb = nanobind;
using namespace nb::literals;
using tvx::arg;
using tvx::Call;
using tvx::FuncSpec;

// Defaults used when the installed metadata (or the checkout) says nothing.
inline constexpr const char *kProductName = "Talvex";
inline constexpr const char *kDefaultAuthor = "Talvex Team";
inline constexpr const char *kDefaultLicense = "Proprietary";
inline constexpr const char *kUnknownVersion = "unknown";
inline constexpr const char *kDocsSuffix = "/tree/main/docs";

// Each concern defines its functions into the module, in the module's order (each
// in the source file of that name).
void init_pyproject_fields(tvx::ModuleFrame &frame);
void init_package_metadata(tvx::ModuleFrame &frame);
void init_about_text(tvx::ModuleFrame &frame);

// The AboutMeta named tuple, built at import (see about_record.cpp).
nb::object build_about_meta_class(tvx::ModuleFrame &frame);

// True when `value` is a str with at least one character.
inline bool is_nonempty_str(nb::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

}  // namespace aboutmeta
