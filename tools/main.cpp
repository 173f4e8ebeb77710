// SPDX-License-Identifier: MIT
// sealkit: seal and open files from the shell with the sealkit library.
// `sealkit --help` lists the commands; sealkit(1) has the rules. Keys are
// read raw from a file, never from the command line or the environment.
#include <openssl/crypto.h>
#include <sealkit.h>
#include <stdio.h>

#include <new>

#include "cli.h"
#include "options.h"

namespace {

int run(int argc, char **argv) {
    const cli::Options o = cli::parse(argc, argv);
    if (o.has(cli::Opt::kVersion)) {
        printf("sealkit %s\n%s\n", sealkit_version(), OpenSSL_version(OPENSSL_VERSION));
        return 0;
    }
    if (o.has(cli::Opt::kHelp)) {
        fputs((o.command != nullptr ? cli::help(*o.command) : cli::usage(true)).c_str(), stdout);
        return 0;
    }
    cli::set_quiet(o.has(cli::Opt::kQuiet));
    return o.command->run(o);
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const cli::Failure &f) {
        fprintf(stderr, "sealkit: %s\n", f.message.c_str());
        return f.status;
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "sealkit: out of memory\n");
        return cli::kExitFailure;
    }
}
