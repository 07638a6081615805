// Shared pieces of the aboutmeta module: the per-concern function tables the
// module frame is assembled from, and the fixed texts more than one concern uses.
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/module.hpp"

#include <span>

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

// Function tables, one per concern (each in the source file of that name).
std::span<const FuncSpec> pyproject_fields_functions();
std::span<const FuncSpec> package_metadata_functions();
std::span<const FuncSpec> about_text_functions();

// The AboutMeta named tuple, built at import (see about_record.cpp).
nb::object build_about_meta_class(tvx::ModuleFrame &frame);

// True when `value` is a str with at least one character.
inline bool is_nonempty_str(nb::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

}  // namespace aboutmeta
