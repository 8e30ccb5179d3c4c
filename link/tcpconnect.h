// The steps of a TCP connect that do not depend on the platform's sockets: the name
// lookup that can be given up, and the walk over the addresses found. The platform's
// files (tcpsocket_posix.cpp, tcpsocket_win.cpp) give them getaddrinfo and their
// own connect.
#pragma once

#include "link/abandonablecall.h"
#include "link/porterror.h"
#include "link/portwake.h"

#include <chrono>
#include <cstdint>

// What a name lookup (getaddrinfo) gave: its status and the list of addresses.
template<typename AddressList> struct HostLookup {
    int status = -1;
    AddressList *found = nullptr;
};

// Runs `lookUp` (a getaddrinfo for one name, filling the list it is given) as above.
// False when it was given up, with PortFailure::Cancelled or TimedOut in `error`; a
// list that comes too late is handed to `release` (freeaddrinfo).
template<typename AddressList, typename LookUp, typename Release>
bool lookUpAbandonably(LookUp lookUp, Release release, std::chrono::steady_clock::time_point deadline,
                       const PortWake *cancel, HostLookup<AddressList> *lookup, PortError *error)
{
    const bool answered = callAbandonably(
        [lookUp] {
            HostLookup<AddressList> result;
            result.status = lookUp(&result.found);
            return result;
        },
        [release](HostLookup<AddressList> late) {
            if (late.found != nullptr)
                release(late.found);
        },
        deadline, cancel, lookup);
    if (!answered) {
        const bool cancelled = cancel != nullptr && cancel->signalled();
        setPortError(error, cancelled ? PortFailure::Cancelled : PortFailure::TimedOut, 0);
    }
    return answered;
}

// The addresses of a gateway's host. `lookUp(numericOnly, &list)` is the platform's
// getaddrinfo for the host, returning its status; `release` frees a list;
// `failureOf(status)` says what a status other than 0 means. A literal address is taken
// at once; a name is looked up on a thread of its own, since getaddrinfo cannot be
// interrupted and may wait seconds for an absent name server.
template<typename AddressList, typename LookUp, typename Release, typename FailureOf>
bool resolveHost(LookUp lookUp, Release release, FailureOf failureOf, std::chrono::steady_clock::time_point deadline,
                 const PortWake *cancel, AddressList **found, PortError *error)
{
    if (lookUp(true, found) == 0)
        return true;
    HostLookup<AddressList> lookup;
    if (!lookUpAbandonably([lookUp](AddressList **list) { return lookUp(false, list); }, release, deadline, cancel,
                           &lookup, error))
        return false;
    if (lookup.status != 0) {
        if (error != nullptr)
            *error = failureOf(lookup.status);
        return false;
    }
    *found = lookup.found;
    return true;
}

// Tries the addresses of `list` (an addrinfo chain) in turn with `connectOne` until
// one connects, `deadline` passes or `cancel` (may be null) is signalled. `invalid`
// when none connected, and why in `error`: the last address's failure, a time-out
// (with `timeoutCode`) or the cancel.
template<typename AddressList, typename Socket, typename ConnectOne>
Socket connectToFirst(const AddressList *list, Socket invalid, std::chrono::steady_clock::time_point deadline,
                      const PortWake *cancel, int timeoutCode, PortError *error, ConnectOne connectOne)
{
    setPortError(error, PortFailure::TimedOut, timeoutCode);
    Socket socket = invalid;
    for (const AddressList *candidate = list; candidate != nullptr && socket == invalid;
         candidate = candidate->ai_next) {
        if (std::chrono::steady_clock::now() >= deadline || (cancel != nullptr && cancel->signalled()))
            break;
        socket = connectOne(*candidate);
    }
    if (socket == invalid && cancel != nullptr && cancel->signalled())
        setPortError(error, PortFailure::Cancelled, 0);
    return socket;
}
