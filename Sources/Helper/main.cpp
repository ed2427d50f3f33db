// VorneloHelper: the root daemon that moves software installed for all users into the Trash of
// the user who asks. systemd starts it on the first connection to its socket; it leaves by itself
// once idle.

#include "Helper/HelperDaemon.h"
#include "Platform/FileError.h"
#include "Platform/Trash.h"

int main() {
    using namespace vornelo;
    helper::DaemonSettings settings;
    // The move acts on the folder the judgement held, never on the path looked up again.
    settings.collaborators.move = [](const helper::JudgedItem& item, const helper::HeldTrash& trash)
        -> std::expected<std::filesystem::path, std::string> {
        auto moved = platform::Trash::moveToTrash(item.parent->get(), item.path, trash.home, trash.owner);
        if (!moved) return std::unexpected(moved.error().description);
        return *moved;
    };
    // polkit decides, for the connection's own peer.
    static const platform::Authorization authorization;
    settings.authorization = &authorization;
    // Not wired yet, so every path is refused: the removal policy. DaemonRemovalSteps refuses
    // rather than guess when it is missing.
    return helper::runHelperDaemon(std::move(settings));
}
