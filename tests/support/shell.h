// The shell around the private test servers (Dovecot, Cyrus) that scripts in
// tests/support start and stop.
#pragma once

#include <cstdint>
#include <string>

namespace mgtest {

// `text` as one word of a shell command.
std::string shellQuote(const std::string& text);

// Runs a command through the shell: its exit status (-1 when it did not end
// normally), its standard output in `output`.
int run(const std::string& command, std::string& output);

std::string readFile(const std::string& path);

// Runs a server's start script, its standard error going to `errFile`. The
// script prints "port=N" and exits with 2 when the server cannot be had on
// this machine. Returns the port; 0 on failure, with `error` saying why
// (what the script wrote to standard error) and `unavailable` set on exit 2.
uint16_t runStartScript(const std::string& command, const std::string& errFile, std::string& error,
                        bool& unavailable);

}  // namespace mgtest
