// Internal to the service: why the agent failed the current front, as its
// log lines (handed to NoteAgentLog) told it. The lines themselves never
// reach the console.
#pragma once

namespace brim {

// Starts a new front: forgets what earlier fronts noted.
void ForgetAgentCause();

// The cause noted since ForgetAgentCause, as the whole message of one
// console line, or null when no line named one.
const char *AgentCause();

// Whether that cause is one no retry can mend until a file changes (the
// key-store files missing, or reached through a link).
bool AgentCausePermanent();

} // namespace brim
