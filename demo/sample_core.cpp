// A shared library of the sample application, shipped in the release's lib/ under its
// full versioned name only; the launcher recreates the shorter names as links.
extern "C" __attribute__((visibility("default"))) char const* quenza_core_version() { return "1.2.3"; }
