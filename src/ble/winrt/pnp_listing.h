// Names of paired Bluetooth LE devices as Windows lists them: the devices present in the Plug
// and Play tree, through PowerShell. Nothing here calls the Windows Runtime (a process and its
// JSON output), so the Linux build compiles it for its tests and its fuzzer.
#pragma once

#include <optional>
#include <string_view>

#include "ble/platform/platform.h"
#include "common/result.h"

namespace chair::ble::winrt {

// Reads the JSON listing of present devices. nullopt when the output is empty or not one
// JSON value; a listing without usable items gives an empty map.
std::optional<PairedNames> parse_pnp_output(std::string_view output);

// Runs the listing and reads it. An error when PowerShell cannot be run, takes too long,
// writes too much, or writes nothing readable.
Result<PairedNames> list_pnp_devices();

}  // namespace chair::ble::winrt
