// SPDX-License-Identifier: MIT
// The stand-in SDK's second source of pushes: an MQTT broker, or a cluster
// of them, through libmosquitto. Each subscribed app A gets the topics
// push/A (every client of the app) and push/A/CLIENT_ID (this client), at
// QoS 2 (a broker may grant 1), in a persistent session under the client id.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "settings.h"

namespace ostrel_standin {

struct MqttConfig {
    std::vector<BrokerUrl> servers;  // the nodes, at least one
    std::string client_id;
    std::vector<std::string> apps;
    Settings settings;                                          // timeout, TLS and login
    std::shared_ptr<const Password> password;                   // the login's, if any
    std::function<void(const char *data, size_t len)> deliver;  // on the network thread
    std::function<void(const std::string &event)> trace;        // may be empty
};

// Connects to the first node that answers, trying them from a random one,
// and subscribes, within the connect timeout for the whole list; then keeps
// a connection up on a thread of its own. A lost connection goes on at once
// with another node at random (failover.h); only after a whole round failed
// does it wait, a random time up to a backoff of 0.5 s doubling to 30 s. A
// broker silent for the keepalive is lost. One line on stderr per loss
// (naming the node and the cause) and per recovery. Returns 0, or -1 with
// the reasons on stderr.
int mqtt_start(MqttConfig config);

}  // namespace ostrel_standin
