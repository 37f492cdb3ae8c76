// serve: every limit in one place, each with its reason. The hostile-input
// tests (tests/app/serve_hostile_test.py) name the limit each case reaches.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zavro::server {

// A request's headers must be whole within this of the connection's opening
// or of its previous answer, however slowly they trickle in: slow clients
// cannot keep connections (an idle keep-alive connection is closed then too).
constexpr auto kHeaderDeadline = std::chrono::seconds(10);
// A body must keep coming at this rate on average once kBodyGrace has passed
// since its headers, or the connection is closed.
constexpr std::uint64_t kMinBodyBytesPerSecond = std::uint64_t{16} * 1024;
constexpr auto kBodyGrace = std::chrono::seconds(10);
// No byte either way for this long closes a connection (a client that does
// not read its answer).
constexpr unsigned kIdleSeconds = 10;
// Header bytes a connection may hold (request line, headers and read
// buffer): past it the answer is 431 (414 for a request line alone).
constexpr std::size_t kHeaderBytes = std::size_t{32} * 1024;
// Header fields in one request; past it 431.
constexpr std::size_t kMaxHeaders = 100;
// Connections at once, and from one address, unless --max-connections and
// --max-connections-per-address say otherwise: well above what the
// benchmark holds from loopback (1,000 idle beside 8 busy), well below the
// descriptors serve raises its own limit to.
constexpr std::size_t kMaxConnections = 4096;
constexpr std::size_t kMaxConnectionsPerAddress = 2048;
// The request body, unless --max-body says otherwise.
constexpr std::size_t kBodyLimit = std::size_t{64} << 20;
// Bodies held at once, all connections together, in body limits: past it a
// request is answered 503 (a chunked one closed) before its body is read,
// so signed-in clients uploading on many connections cannot fill memory.
constexpr std::size_t kBodiesInFlight = 4;
// Sign-in's body is the token.
constexpr std::size_t kSignInBody = 1024;
// Query values kept (a name, a note, a search).
constexpr std::size_t kParamBytes = 1024;
// An uploaded archive: members of any kind, at most; each counts this much
// beside its name and bytes against the body limit (the item, its answer
// line), so many tiny members cannot hold more than the body limit says.
constexpr std::uint64_t kMaxMembers = 100000;
constexpr std::size_t kMemberOverhead = 512;
// Bytes an upload may unpack to, skipped ones included, per body-limit byte,
// and the CPU time its unpacking may take: past either it is refused whole.
constexpr std::uint64_t kUnpackedPerBodyByte = 16;
constexpr auto kUnpackCpu = std::chrono::seconds(5);
// Sign-ins beyond this drop the oldest session, so they cannot fill memory.
constexpr std::size_t kMaxSessions = 4096;
constexpr auto kSessionLife = std::chrono::hours(12);
// Sign-ins: past this many failures within the window, for one account
// name or from one address, sign-ins are refused (the right password too)
// until the window has passed. At most kSignInKeys names and addresses are
// counted at once: past it every sign-in is refused until some age out.
constexpr std::size_t kSignInFailures = 10;
constexpr auto kSignInWindow = std::chrono::seconds(60);
constexpr std::size_t kSignInKeys = 100000;
// Passwords hashed at once (each hash holds about 20 MiB).
constexpr int kHashesAtOnce = 2;
// How often the accounts are read again, and a token's last use written.
constexpr auto kAccountsRefresh = std::chrono::seconds(1);
constexpr std::int64_t kLastUsedEvery = 60;
// Network threads: each waits on many connections, and no request's work
// runs on them (that is the workers', --threads).
constexpr unsigned kNetworkThreads = 2;

}  // namespace zavro::server
