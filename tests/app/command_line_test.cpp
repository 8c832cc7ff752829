// The window program's command line: what is answered before QApplication exists, and what is
// left over after it took its own options.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include "veldoran/version.h"

namespace veldoran::app {
namespace {

QStringList Args(std::initializer_list<const char*> rest) {
  QStringList args{QStringLiteral("/usr/bin/veldoran")};
  for (const char* arg : rest) args.append(QString::fromUtf8(arg));
  return args;
}

TEST(CommandLine, VersionAndHelpEndTheProgramBeforeTheWindow) {
  const QString version = QStringLiteral("veldoran ") + QLatin1String(kVersion) + '\n';
  for (const auto& args :
       {Args({"--version"}), Args({"-v"}), Args({"-version"}),
        Args({"-platform", "offscreen", "--version"}), Args({"--no-such-option", "--version"})}) {
    const auto exit = HandleInformationalOptions(args);
    ASSERT_TRUE(exit) << args.join(' ').toStdString();
    EXPECT_EQ(exit->code, 0);
    EXPECT_FALSE(exit->to_stderr);
    EXPECT_EQ(exit->text, version);
  }

  for (const auto& args : {Args({"--help"}), Args({"-h"}), Args({"--version", "--help"})}) {
    const auto exit = HandleInformationalOptions(args);
    ASSERT_TRUE(exit) << args.join(' ').toStdString();
    EXPECT_EQ(exit->code, 0);
    EXPECT_FALSE(exit->to_stderr);
    EXPECT_TRUE(exit->text.startsWith(QStringLiteral("Usage: veldoran [options]\n")));
    EXPECT_TRUE(exit->text.contains(QStringLiteral("-h, --help")));
    EXPECT_TRUE(exit->text.contains(QStringLiteral("-v, --version")));
    EXPECT_TRUE(exit->text.contains(QStringLiteral("Config.ini")));
    for (const QString& line : exit->text.split('\n'))
      EXPECT_LE(line.size(), 80) << line.toStdString();
  }
}

TEST(CommandLine, QtOptionsAndOtherArgumentsAreLeftForLater) {
  // Qt's single-word options must not read as clusters of -v, -h, ...: -reverse holds a 'v',
  // -platformtheme and -stylesheet an 'h'.
  for (const auto& args :
       {Args({}), Args({"-reverse"}), Args({"-platformtheme", "gtk3"}),
        Args({"-stylesheet", "a.qss"}), Args({"-visual", "x"}), Args({"--no-such-option"}),
        Args({"Config.ini"}), Args({"--", "--version"})}) {
    EXPECT_FALSE(HandleInformationalOptions(args)) << args.join(' ').toStdString();
  }
}

const QString kUsage = QStringLiteral("Usage: veldoran [options]\n");

// Before QApplication (no display needed): Qt's own options pass with their values, anything
// else is the usage error.
TEST(CommandLine, WrongArgumentsAreRefusedBeforeTheApplication) {
  for (const auto& args :
       {Args({}), Args({"-platform", "offscreen"}), Args({"--platform", "xcb", "-reverse"}),
        Args({"-style=fusion"}), Args({"-style", "fusion", "-stylesheet", "a.qss"}),
        Args({"-qwindowgeometry", "800x600", "--widgetcount"}), Args({"-dialogs=none"}),
        Args({"-display", ":0", "-name", "x", "-session", "s"}), Args({"--"})}) {
    EXPECT_FALSE(CheckArgumentsBeforeApplication(args)) << args.join(' ').toStdString();
  }
  const std::pair<QStringList, QString> errors[] = {
      {Args({"--foo"}), QStringLiteral("veldoran: Unknown option 'foo' (see --help)\n")},
      {Args({"-platform", "offscreen", "-x"}),
       QStringLiteral("veldoran: Unknown option 'x' (see --help)\n")},
      {Args({"--foo=1"}), QStringLiteral("veldoran: Unknown option 'foo' (see --help)\n")},
      {Args({"Config.ini"}),
       QStringLiteral("veldoran: Unexpected argument 'Config.ini' (see --help)\n")},
      {Args({"-"}), QStringLiteral("veldoran: Unexpected argument '-' (see --help)\n")},
      {Args({"--", "--help"}),
       QStringLiteral("veldoran: Unexpected argument '--help' (see --help)\n")},
  };
  for (const auto& [args, text] : errors) {
    const auto exit = CheckArgumentsBeforeApplication(args);
    ASSERT_TRUE(exit) << args.join(' ').toStdString();
    EXPECT_EQ(exit->code, 2);
    EXPECT_TRUE(exit->to_stderr);
    EXPECT_EQ(exit->text, text + kUsage);
  }
  const auto version = CheckArgumentsBeforeApplication(Args({"--foo", "--version"}));
  ASSERT_TRUE(version);
  EXPECT_EQ(version->code, 0);
}

TEST(CommandLine, WhatQApplicationLeavesMustBeOurs) {
  EXPECT_FALSE(CheckRemainingArguments(Args({})));
  EXPECT_FALSE(CheckRemainingArguments(QStringList{}));  // started with an empty argv

  const std::pair<QStringList, QString> errors[] = {
      {Args({"--no-such-option"}),
       QStringLiteral("veldoran: Unknown option 'no-such-option' (see --help)\n") + kUsage},
      {Args({"-reverse"}),
       QStringLiteral("veldoran: Unknown option 'reverse' (see --help)\n") + kUsage},
      {Args({"Config.ini"}),
       QStringLiteral("veldoran: Unexpected argument 'Config.ini' (see --help)\n") + kUsage},
      {Args({"--", "--version"}),
       QStringLiteral("veldoran: Unexpected argument '--version' (see --help)\n") + kUsage},
  };
  for (const auto& [args, text] : errors) {
    const auto exit = CheckRemainingArguments(args);
    ASSERT_TRUE(exit) << args.join(' ').toStdString();
    EXPECT_EQ(exit->code, 2);
    EXPECT_TRUE(exit->to_stderr);
    EXPECT_EQ(exit->text, text);
  }
}

}  // namespace
}  // namespace veldoran::app
