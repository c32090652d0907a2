#pragma once
// The work of each installer state, dispatched by the main loop once per pass. Each
// function changes the state only through setState; a failing step writes its one line
// to standard error and sets Error.
#include <string>

#include "app/run.h"

// Detects the executable name, platform, processor, OS version, channel, edition, OTA
// host and application file name from element 0, logs them, sets ShowingWindow.
void workEnvironmentDetection(Run& run);

// Sets the progress title and artwork and creates the window; sets QueryingOta.
void workShowingWindow(Run& run);

// Starts the HTTP engine and sends the verify request; sets Waiting.
void workQueryingOta(Run& run);

// Removes earlier installs of this edition and channel and creates the install
// directories; sets ConstructingQueue or Error.
void workCleaningBeforeDownload(Run& run);

// Builds the download queue from the manifest; sets Downloading, or Error on an entry
// path or download URL it refuses (install/download.h).
void workConstructingQueue(Run& run);

// Sends the next download, or writes the hash file when the queue is empty.
void workDownloading(Run& run);

// Platform preparation of the staged tree and the host-name file.
void workPreparingExecution(Run& run);

// Starts the installed application detached; sets ClosingWindow or Error.
void workExecutingApp(Run& run);

// The per-user applications directory: the profile folder joined with ".QuenzaQtApps",
// or that relative name alone when no profile folder is known.
std::string computeAppsRoot();
