// Making and opening one of the readers behind the seam.
#pragma once

#include <memory>
#include <new>
#include <string>

#include "engine/pst_source.h"

namespace engine {

// REQUIRES: Source(const SourceOptions&) and bool Source::open(path, why).
template <typename Source>
std::unique_ptr<PstSource> open_source(const std::string& path_utf8, const SourceOptions& options, pst::Status* why)
{
    std::unique_ptr<Source> source(new (std::nothrow) Source(options));
    if (!source) {
        if (why != nullptr) {
            *why = pst::Status::failure("out of memory");
        }
        return nullptr;
    }
    if (!source->open(path_utf8, why)) {
        return nullptr;
    }
    return source;
}

} // namespace engine
