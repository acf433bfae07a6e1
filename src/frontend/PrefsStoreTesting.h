// Test access to the preference writer: a function called after the new
// file has been written and flushed and before it replaces the old one,
// so a test can end the writer at the worst moment.
#pragma once

namespace quirel::frontend {

extern void (*gPrefsBeforeReplaceHook)();

}  // namespace quirel::frontend
