// The device ID a project's records carry: made once into its "deviceID.db" and read back by
// later starts.
#pragma once

#include <string>

// A new ID: random text and the current time.
std::string makeDeviceId();
// The ID kept at idPath, or a new one written there; with no path (send-only) a new one that
// lasts this run.
std::string loadDeviceId(const std::string& idPath);
