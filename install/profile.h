#pragma once
// The user's profile folder, under which the applications directory lives.
#include <string>

// UTF-8 path of the profile folder; empty when the system cannot tell.
std::string userProfileFolder();
