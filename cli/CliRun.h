#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class OutputChannel;

// The image argument's bytes as the system gave them (argv), so that a path that is no valid
// text still opens.
using NativeArgument = std::function<QByteArray(const QString& argument)>;

// fwupgrade-cli's whole run from its command line (the program name first): the options, the
// image, the hosts, then --check or the upgrades with the event loop turning until all have
// ended (SIGINT, SIGTERM and SIGHUP interrupt them), and the files asked for. Returns the
// exit status.
int RunCommandLine(const QStringList& arguments, OutputChannel& out, OutputChannel& err,
                   const NativeArgument& nativeArgument = {});
