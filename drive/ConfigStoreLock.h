#pragma once

#include <mutex>

// The configuration store (wxConfigBase::Get, a wxFileConfig) is not
// thread-safe, yet the window writes its settings on the GUI thread while the
// Drive client saves tokens on its own threads. Every read or write of the
// store holds this lock, and only for the access itself. Lock order: the Drive
// client's token lock, if held, comes first.
std::unique_lock<std::mutex> LockConfigStore();
