// zorvm_keytool COMMAND [options]: administration of a key-store pair. The
// command line is read from the tables of command_table.cpp.
#include "command_line.h"
#include "keytool.h"
#include "process_hardening.h"
#include "zorv_admin.h"

int main(int argc, char **argv)
{
    (void)brim::DisableCoreDumps();
    keytool::Options o;
    const keytool::CommandSpec *command = nullptr;
    if (const int rc = keytool::ParseCommandLine(argc, argv, o, command); rc >= 0) {
        return rc;
    }
    if (!command->touchesStore) {
        return command->run(o);
    }
    if (!keytool::NamedCopiesExist(*command, o)) {
        return keytool::kExitFailure;
    }
    if (!o.owner.empty() && !keytool::SetFileOwner(o.owner)) {
        return keytool::kExitFailure;
    }
    keytool::RegisterCallbacks();
    if (!keytool::SetUpProtection(o)) {
        return keytool::kExitFailure;
    }
    if ((keytool::MadeSlotNeeds(*command, o) & QINT_NEEDS_TOKEN) != 0 && !keytool::ConfigureNewPkcs11Slot(o)) {
        return keytool::kExitFailure;
    }
    int rc = command->run(o);
    if (!keytool::FinishWrites(rc == keytool::kExitOk)) {
        rc = keytool::kExitFailure;
    }
    return !keytool::FinishHostConfig(o, rc == keytool::kExitOk) ? keytool::kExitFailure : rc;
}
