// paterm-server's command language and command line: what each command
// carries, and the bad input that must be refused before anything is sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/server/command_parser.h"
#include "tools/server/server_options.h"

namespace srvproto {
namespace {

Command Parse(const std::string& line) {
    Command c;
    std::string error;
    EXPECT_EQ(ParseCommand(line, &c, &error), 0) << line << ": " << error;
    return c;
}

TEST(CommandParser, CommandsCarryTheirArguments) {
    EXPECT_EQ(Parse("mode auto").mode, 2);
    EXPECT_EQ(Parse("mode 7").mode, 7);
    const Command grant = Parse("  grant 65535 192.168.1.5 10000 ");
    EXPECT_EQ(grant.kind, CmdKind::kGrant);
    EXPECT_EQ(grant.grant.brdId, 65535);
    EXPECT_EQ(grant.grant.addr, 0xC0A80105u);
    EXPECT_EQ(grant.grant.port, 10000);
    const Command bare = Parse("grant 3");
    EXPECT_EQ(bare.grant.addr, 0u);  // the server fills in its own address and stream port
    EXPECT_EQ(bare.grant.port, 0);
    EXPECT_EQ(Parse("stop").grant.brdId, 0);
    EXPECT_EQ(Parse("groups Hall \"Main hall\" \"say \\\"hi\\\"\" \"\"").names,
              (std::vector<std::string>{"Hall", "Main hall", "say \"hi\"", ""}));
    const Command net = Parse("netparams 192.168.1.11 255.255.255.0 192.168.1.1");
    EXPECT_EQ(net.net.addr, 0xC0A8010Bu);
    EXPECT_EQ(net.net.mask, 0xFFFFFF00u);
    EXPECT_EQ(net.net.gateway, 0xC0A80101u);
    const Command up = Parse("upgrade /tmp/pkgs/upgrade_app.bin");
    EXPECT_EQ(up.file, "/tmp/pkgs/upgrade_app.bin");
    EXPECT_EQ(up.path, "/upgrade_app.bin");
    EXPECT_EQ(Parse("upgrade a.bin /x/y.bin").path, "/x/y.bin");
    const Command login = Parse("login super \"pass word\" 192.168.1.11 255.255.255.0 192.168.1.1");
    EXPECT_EQ(login.user, "super");
    EXPECT_EQ(login.password, "pass word");
    EXPECT_EQ(Parse("wait 1.25").waitMs, 1250u);
    EXPECT_EQ(Parse("wait 86400").waitMs, kMaxWaitMs);
    EXPECT_EQ(Parse("id PT00000042").id[9], '2');
    EXPECT_EQ(Parse("terminal 10.0.0.1").addr, 0x0A000001u);
    EXPECT_EQ(Parse("# a comment").kind, CmdKind::kEmpty);
    EXPECT_EQ(Parse("").kind, CmdKind::kEmpty);
    EXPECT_EQ(Parse("quit").kind, CmdKind::kQuit);
}

TEST(CommandParser, BadInputIsRefusedWithAReason) {
    const char* bad[] = {
        "launch",                                   // unknown
        "Mode on",                                  // commands are lower case
        "mode",                                     // missing
        "mode loud",
        "mode 256",
        "mode -1",
        "grant",
        "grant 65536",
        "grant 5 192.168.1",
        "grant 5 192.168.1.256",
        "grant 5 192.168.1.5.",
        "grant 5 192.168.1.5 0",
        "grant 5 192.168.1.5 65536",
        "grant 5 192.168.1.5 10000 extra",
        "grant 0x10",
        "stop 1 2",
        "groups a b c d e f g h i j k",             // eleven groups
        "netparams 192.168.1.11 255.255.255.0",
        "netparams 192.168.1.11 255.255.255.0 gw",
        "upgrade",
        "upgrade \"my package.bin\"",               // a blank in the derived path
        "upgrade a.bin /x;reboot",
        "upgrade a.bin x.bin",
        "login super pw 192.168.1.11 255.255.255.0",
        "login super 0123456789abcdefg 192.168.1.11 255.255.255.0 192.168.1.1",
        "terminal 0.0.0.0",
        "terminal 255.255.255.255",
        "id PT0001",
        "wait",
        "wait -1",
        "wait 1.",
        "wait 0.0001",
        "wait 86401",
        "wait 99999999999",
        "version now",
        "groups \"unterminated",
    };
    for (const char* line : bad) {
        Command c;
        c.kind = CmdKind::kQuit;
        std::string error;
        EXPECT_EQ(ParseCommand(line, &c, &error), -1) << line;
        EXPECT_FALSE(error.empty()) << line;
        EXPECT_EQ(c.kind, CmdKind::kEmpty) << line;  // nothing half-parsed is left to execute
    }
    std::string error;
    Command c;
    ParseCommand("groups " + std::string(256, 'x'), &c, &error);
    EXPECT_NE(error.find("too long"), std::string::npos);
}

std::string OptionsError(std::vector<const char*> args, ServerOptions* o) {
    args.insert(args.begin(), "paterm-server");
    std::string error;
    if (ParseServerOptions(static_cast<int>(args.size()), args.data(), o, &error) == 0) return "";
    return error.empty() ? "?" : error;
}

TEST(ServerOptions, OptionsThenCommandsSeparatedByCommas) {
    ServerOptions o;
    ASSERT_EQ(OptionsError({"--terminal", "192.168.1.20", "--id", "PT00000002", "--bind", "192.168.1.5",
                            "--announce", "0", "--stream-file", "s.celt", "grant", "5", ",", "wait", "2", ";",
                            "stop", "5", ","},
                           &o),
              "");
    EXPECT_EQ(o.terminal, 0xC0A80114u);
    EXPECT_EQ(o.bind, 0xC0A80105u);
    EXPECT_EQ(o.announceMs, 0u);
    EXPECT_EQ(o.streamFile, "s.celt");
    EXPECT_EQ(o.commands, (std::vector<std::vector<std::string>>{{"grant", "5"}, {"wait", "2"}, {"stop", "5"}}));

    ASSERT_EQ(OptionsError({}, &o), "");
    EXPECT_EQ(o.terminal, 0xC0A8010Au);
    EXPECT_EQ(o.announceMs, 5000u);
    EXPECT_EQ(o.httpPort, 80);
    EXPECT_TRUE(o.commands.empty());
    ASSERT_EQ(OptionsError({"--", "--odd"}, &o), "");
    EXPECT_EQ(o.commands, (std::vector<std::vector<std::string>>{{"--odd"}}));

    for (std::vector<const char*> bad :
         {std::vector<const char*>{"--terminal"}, {"--terminal", "0.0.0.0"}, {"--id", "short"}, {"--stream-port", "0"},
          {"--http-port", "70000"}, {"--announce", "3601"}, {"--announce-ip", "x"}, {"--timeout", "-1"},
          {"--verbose"}, {"--stream-file", ""}}) {
        EXPECT_NE(OptionsError(bad, &o), "") << bad[0];
    }
}

}  // namespace
}  // namespace srvproto
