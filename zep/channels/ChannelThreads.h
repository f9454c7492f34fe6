#pragma once
// The channel threads of a session. Each runs until the session's interrupt and returns 0; any
// unexpected exception is logged and ends the process (RunThreadProc).
#include "zep/channels/ChannelContext.h"

int VideoNetworkThreadProc(ChannelContext& context);
int AudioNetworkThreadProc(ChannelContext& context);
int MouseNetworkThreadProc(ChannelContext& context);
int VideoNetworkUdpThreadProc(ChannelContext& context);
int AudioNetworkUdpThreadProc(ChannelContext& context);
int ApiNetworkThreadProc(ChannelContext& context);
int KeyMouseGrabberThreadProc(ChannelContext& context);
