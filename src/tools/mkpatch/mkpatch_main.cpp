// tarv-mkpatch SUBCOMMAND ...: dispatches to the subcommand of the table.
#include <cstdio>
#include <cstring>

#include "mkpatch.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const mkpatch::Args&);
  const char* usage;
};

// One line per subcommand, in the order --help lists them.
const Command kCommands[] = {
    {"diff", mkpatch::CmdDiff,
     "diff [--level N] [--format 1|2|best] OLD NEW DIFF\n"
     "      the difference of one file (format 1: zstd, OLD as prefix; format 2:\n"
     "      approximate matches; best: the smaller, the default; level 19 unless\n"
     "      given), proved by rebuilding NEW with jpatch"},
    {"md5", mkpatch::CmdMd5, "md5 FILE...\n      the MD5 digests, printed as md5sum prints them"},
    {"patch", mkpatch::CmdPatch,
     "patch [--level N] [--format 1|2|best] [--jobs N] OLD_DIR NEW_DIR OUT.zip\n"
     "      the patch archive that turns OLD_DIR into NEW_DIR (each difference in\n"
     "      the format given; best: the smaller of both, the default; N files at a\n"
     "      time, one a core unless given)"},
    {"apply", mkpatch::CmdApply,
     "apply PATCH.zip|PATCH_DIR INSTALL_DIR\n"
     "      applies a patch with the patcher's own applier and prints every message;\n"
     "      exit 0 only when every entry was applied"},
    {"chain", mkpatch::CmdChain,
     "chain [--level N] [--jobs N] [--sign SECRET_KEY] SERVER_DIR VERSION=DIR VERSION=DIR ...\n"
     "      SERVER_DIR/<from>_to_<to>.zip for each consecutive pair, SERVER_DIR/patches.txt,\n"
     "      and for repair SERVER_DIR/manifests/<version>.txt and SERVER_DIR/objects/;\n"
     "      --sign signs the catalogue, otherwise a stale patches.txt.minisig is removed"},
    {"list", mkpatch::CmdList,
     "list PATCH.zip|PATCH_DIR\n"
     "      each added, deleted and patched entry of a patch with its size and its\n"
     "      difference's format; exit 1 when an entry's data is missing or damaged"},
    {"jobs", mkpatch::CmdJobs,
     "jobs [--level N] [--format 1|2|best] [--program PATH] OLD_DIR NEW_DIR WORK_DIR\n"
     "      the plan of a patch and WORK_DIR/jobs.txt, one shell command a difference,\n"
     "      to be run on many machines (GNU parallel, xargs -P, an array job)"},
    {"assemble", mkpatch::CmdAssemble,
     "assemble WORK_DIR OUT.zip\n"
     "      the archive from the plan and the differences the jobs made, byte for byte\n"
     "      the archive patch makes"},
    {"check-server", mkpatch::CmdCheckServer,
     "check-server SERVER_ADDRESS [--download DIR]\n"
     "      reads the server's patches.txt as the patcher does, prints each record and\n"
     "      its archive's size; with --download fetches each archive into DIR and checks\n"
     "      its size; exit 0 only when everything worked"},
    {"keygen", mkpatch::CmdKeygen,
     "keygen [--force] PUBLIC_KEY SECRET_KEY\n"
     "      a new signing key in the minisign program's formats, the secret key not\n"
     "      encrypted; the public key is the installation's Binaries/tarv-publisher.pub"},
    {"sign", mkpatch::CmdSign,
     "sign [--serial N] [--expires YYYY-MM-DDTHH:MM:SSZ] [--force] SECRET_KEY FILE [SIGNATURE]\n"
     "      signs a catalogue into FILE.minisig (serial: seconds since 1970, expires:\n"
     "      in 90 days, unless given); a serial not above the replaced signature's or\n"
     "      an expiry passed needs --force; an encrypted key signs with minisign -S"},
    {"verify", mkpatch::CmdVerify,
     "verify PUBLIC_KEYS FILE [SIGNATURE]\n"
     "      checks FILE.minisig as the patcher does: one of the keys, the file's bytes,\n"
     "      a serial and an expiry time not yet passed"},
};

void PrintHelp(FILE* out) {
  fprintf(out, "usage: tarv-mkpatch SUBCOMMAND ARGUMENTS\n\n");
  for (const auto& c : kCommands) fprintf(out, "  %s\n\n", c.usage);
  fprintf(out, "Errors are one line on standard error and a non-zero exit.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintHelp(stderr);
    return 1;
  }
  if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help")) {
    PrintHelp(stdout);
    return 0;
  }
  mkpatch::Args args(argv + 2, argv + argc);
  for (const auto& c : kCommands) {
    if (strcmp(argv[1], c.name) != 0) continue;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
      printf("usage: tarv-mkpatch %s\n", c.usage);
      return 0;
    }
    return c.run(args);
  }
  fprintf(stderr, "tarv-mkpatch: unknown subcommand \"%s\" (see --help)\n", argv[1]);
  return 1;
}
