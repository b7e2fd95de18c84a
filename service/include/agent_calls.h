/*
 * The executables' only way into the agent. Each front initialises the agent
 * (up to 3 tries, 1 second after each failed one), does one operation with
 * domain 9, copies the result into the caller's buffer, gives the agent's
 * buffer back and finalises the agent, so no agent state outlives a call.
 * When the key store tells why it did not load (a library that offers
 * QintLastLoadEx), a cause that trying again cannot mend ends the tries at
 * once, and the failure line is followed by one naming the cause and what
 * to look at; a load that succeeded but found something worth knowing (a
 * copy restored or refused, the built-in key) gets a line of its own.
 */
#ifndef BRIM_AGENT_CALLS_H
#define BRIM_AGENT_CALLS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BRIM_PRIMARY_KEY_FILE "/etc/zorvm_primary_file.dat"
#define BRIM_STANDBY_KEY_FILE "/etc/zorvm_standby_file.dat"
#define BRIM_DOMAIN_ID 9
#define BRIM_INIT_TRIES 3
#define BRIM_INIT_PAUSE_SECONDS 1

/* The log function handed to the agent. No agent line reaches the console;
 * the lines that tell why the current front's initialisation or operation
 * failed are noted, and the front names that cause in one Error line after
 * its own failure line. */
void NoteAgentLog(int32_t module, int32_t level, const char *function, int32_t line, int32_t code,
                  const char *format, ...);

/* 0 when the agent is initialised, else the code of the last ZORVA_Init. */
int InitAgentWithRetry(void);

/* Encrypts plainText into out (outSize bytes) as a NUL-terminated Base64
 * text. 0; -1 when the agent could not be initialised or refused (logged,
 * with a second line naming the cause when the agent told it);
 * the strcpy_s code when the result does not fit out (not logged). */
int BrimEncrypt(const char *plainText, char *out, int outSize);

/* Decrypts cipherText into out as a NUL-terminated text and stores the
 * agent's plain length in *plainLen. Results as BrimEncrypt. */
int BrimDecrypt(const char *cipherText, char *out, int outSize, uint32_t *plainLen);

/* BrimDecrypt's try number attempt (0, 1, 2) alone, for a caller that waits
 * the pause between tries itself: BRIM_TRY_AGAIN when the agent could not be
 * initialised for a cause that may pass and tries remain (nothing logged),
 * else BrimDecrypt's result. */
#define BRIM_TRY_AGAIN (-2)
int BrimDecryptAttempt(const char *cipherText, char *out, int outSize, uint32_t *plainLen, int attempt);

#ifdef __cplusplus
}
#endif

#endif /* BRIM_AGENT_CALLS_H */
