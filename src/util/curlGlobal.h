#pragma once

// libcurl's global initialisation, run once per process whichever thread needs it first.
// It is never cleaned up: other threads may still use libcurl while the process runs.
void ensureCurlGlobalInit();
