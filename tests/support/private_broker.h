// A private MQTT broker for tests of the local MQTT transport: the machine's
// mosquitto on a free loopback port, anonymous clients allowed, its
// configuration and log in a scratch folder. Ended with the object.
// Not thread-safe.
#pragma once

#include <sys/types.h>

#include <string>

class PrivateBroker {
  public:
    PrivateBroker();
    ~PrivateBroker();
    PrivateBroker(const PrivateBroker &) = delete;
    PrivateBroker &operator=(const PrivateBroker &) = delete;

    // False when no mosquitto program is installed (tests then skip).
    bool available() const { return !program_.empty(); }
    // Starts (or starts again, on the same port); true once it listens.
    bool start();
    // Ends it at once (SIGKILL), as a crash would.
    void kill();
    bool running() const { return pid_ > 0; }

    int port() const { return port_; }
    std::string uri() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    // What the broker logged so far (connections, subscriptions).
    std::string log() const;

  private:
    std::string program_;
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};
