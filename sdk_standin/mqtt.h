// SPDX-License-Identifier: MIT
// The stand-in SDK's second source of pushes: an MQTT broker, through
// libmosquitto. Each subscribed app A gets the topics push/A (every client of
// the app) and push/A/CLIENT_ID (this client), at QoS 2, in a persistent
// session under the client id.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "settings.h"

namespace ostrel_standin {

struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 0;
};

// Parses mqtt://host[:port] (port 1883) or mqtts://host[:port] (8883); an
// IPv6 host is written in brackets. False for any other URL.
bool parse_broker_url(const std::string &url, BrokerUrl &out);

struct MqttConfig {
    BrokerUrl url;
    std::string url_text;  // for messages
    std::string client_id;
    std::vector<std::string> apps;
    Settings settings;                                          // timeout, TLS and login
    std::function<void(const char *data, size_t len)> deliver;  // on the network thread
    std::function<void(const std::string &event)> trace;        // may be empty
};

// Connects and subscribes, waiting at most the connect timeout, then keeps
// the connection up on a thread of its own: a lost connection is retried
// with backoff from 0.5 s to 30 s, with one line on stderr per loss and per
// recovery. Returns 0, or -1 with the reason on stderr.
int mqtt_start(MqttConfig config);

}  // namespace ostrel_standin
