// The text of zorctl --help: options, environment, every command by group
// with an example, and the exit codes.
#pragma once

const char *zc_help_text();
