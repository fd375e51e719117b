#pragma once

namespace zelkit::detail {

class Connection;

constexpr int CHALLENGE_TEXT_LENGTH = 16;

// The login challenge of an accepted connection: 12 digits drawn for that
// connection when it first asks, then its client id as "%04x". Its login is
// checked against this text alone, so a digest seen on one connection opens
// no other. out holds 17 characters with the terminator.
void giveLoginChallenge(Connection& connection, char* out17);

// The challenge the connection was given; false when it asked for none.
bool givenLoginChallenge(Connection& connection, char* out17);

}  // namespace zelkit::detail
