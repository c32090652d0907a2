#pragma once
// Deployment values of one launcher build, generated from CMake settings (see
// cmake/deployment.cmake): the OTA and application server host names of the PROD,
// DEMO and DEV channels, in that order. Bare host names: no scheme, port or path. And
// the largest payload a download accepts, in bytes: a longer one fails like a lost
// connection (status 0), since every payload is held in memory whole.
#include <cstdint>

namespace Deployment {
extern char const* const otaHosts[3];
extern char const* const appHosts[3];
extern uint64_t const maxPayloadBytes;
}  // namespace Deployment
