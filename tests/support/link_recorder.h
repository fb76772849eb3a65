// Recording implementations of the links that are not built yet: the cloud
// MQTT link and the BLE data channel. While a LinkRecorder lives, every
// publish and send is recorded as "mqtt_response_api <topic> <data> <qos>
// <retain>" or "orvi_bt_data_send <data>" and answered with its result;
// when it goes, both links answer "not built" again. One at a time.
#pragma once

#include <string>
#include <vector>

class LinkRecorder {
  public:
    // Installs both recorders; calls are answered with `result`.
    explicit LinkRecorder(int result = 0);
    ~LinkRecorder();
    LinkRecorder(const LinkRecorder &) = delete;
    LinkRecorder &operator=(const LinkRecorder &) = delete;

    std::vector<std::string> calls() const;
    void clear() const;
    void set_result(int rc) const;
};
