// Audio fields of a client session that the session record does not carry
// yet: the audio-ended flag and the audio sample rate.
//
// The sound thread sets the audio-ended flag when it leaves, so that a file
// reader stops queuing audio nobody will play. The audio sample rate (Hz) is
// set by whoever learns it (the stream description, a record file's audio
// format); 0 means "not known", and the decoder's default rate applies.
//
// The values live beside the session, keyed by the session object and its
// handle (so a new session at the address of a destroyed one starts clean),
// under one lock. Any thread may call these functions.
#pragma once

#include <cstdint>

namespace quornet {

class CClientSession;

void SetAudioEnded(const CClientSession& session, int32_t ended);
int32_t AudioEnded(const CClientSession& session);

void SetAudioSampleRate(const CClientSession& session, int32_t rate_hz);
// 0 until a rate was set.
int32_t AudioSampleRate(const CClientSession& session);

// Drops the session's entry; the session calls it when it is destroyed.
void ForgetAudioFields(const CClientSession& session);

}  // namespace quornet
