// The text of zor-peer --help: options, every script line and key, and the
// keys of the JSON output.
#pragma once

const char *zp_help_text();
