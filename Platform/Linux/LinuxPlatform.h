// The one place that builds the Linux adapters. Only the entry point includes
// this header.
#pragma once

#include <memory>

#include "Platform/Bundles.h"
#include "Platform/Clock.h"
#include "Platform/Files.h"

namespace vorsel::linux_platform {

// The adapters that both modes use.
struct CommonPorts {
    std::unique_ptr<Bundles> bundles;
    std::unique_ptr<Files> files;
    std::unique_ptr<Clock> clock;
};

CommonPorts makeCommonPorts();

}  // namespace vorsel::linux_platform
