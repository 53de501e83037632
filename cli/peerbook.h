#pragma once
// This user's identity and paired peers for velmora-cli: --identity, --peers, --forget, and the
// connector a run secures its connections with.

#include "clioptions.h"

#include <memory>

namespace secure {
class SecureConnector;
}

/// Runs --identity, --peers or --forget; returns the exit status.
int runPeerCommand(const CliOptions &options);
/// The connector of a run that secures connections (a listener that takes secure peers, or a
/// connection made with --secure or --pair), or null for one that does not; null with `error`
/// set when the identity or the known peers cannot be read.
std::unique_ptr<secure::SecureConnector> makeConnector(const CliOptions &options, QString *error);
