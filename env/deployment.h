#pragma once
// Deployment values of one launcher build, generated from CMake settings (see
// cmake/deployment.cmake): the OTA and application server host names of the PROD,
// DEMO and DEV channels, in that order. Bare host names: no scheme, port or path.

namespace Deployment {
extern char const* const otaHosts[3];
extern char const* const appHosts[3];
}  // namespace Deployment
