// The dispatch exchange: one request line out, one reply in, over plain TCP.
// The reply may come in pieces: it is read until it is one whole JSON text
// (or the server closes, or the limit), so a reply split across two sends
// is not taken for a broken one.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cJSON.h>

#include <cstring>
#include <memory>

#include "cloud_mqtt_parts.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_port.h"

namespace {

struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
};

using json_ptr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

bool complete_json(const std::string &text) {
    json_ptr j(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
    return j != nullptr;
}

}  // namespace

std::string cloud_dis_request(const std::string &mac, int need_mqtt, int need_nlu) {
    json_ptr req(cJSON_CreateObject(), cJSON_Delete);
    if (!req) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(req.get(), "t", "dis");
    cJSON_AddStringToObject(req.get(), "mac", mac.c_str());
    cJSON_AddNumberToObject(req.get(), "needMqtt", need_mqtt);
    cJSON_AddNumberToObject(req.get(), "nlu", need_nlu);
    char *text = cJSON_PrintUnformatted(req.get());
    if (!text) ORVI_NO_MEM(64);
    std::string line(text);
    cJSON_free(text);
    line.push_back('\n');
    return line;
}

int Connet_disServes(const char *address, uint16_t port, const char *mac, int need_mqtt, int need_nlu,
                     std::string &reply) {
    reply.clear();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (!address || !mac || inet_pton(AF_INET, address, &to.sin_addr) != 1) {
        ORVI_LOGW("[Parameters]:bad dispatch address '%s'", address ? address : "");
        return -1;
    }
    std::unique_ptr<fd_guard> sock;
    for (int attempt = 0;; ++attempt) {
        sock = std::make_unique<fd_guard>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (sock->fd < 0) {
            ORVI_LOGW("[Parameters]:Socket create error");
            return -1;
        }
        timeval tv{5, 0};
        setsockopt(sock->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        setsockopt(sock->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        if (::connect(sock->fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) == 0) break;
        ORVI_LOGW("[Parameters]:Connect error , attempting to reconnect:%d", attempt + 1);
        if (attempt >= 2) {
            ORVI_LOGW("[Parameters]:close socket and reinitiate the connection");
            return -1;
        }
        orvi_port_sleep_ms(1000);
    }
    const std::string line = cloud_dis_request(mac, need_mqtt, need_nlu);
    if (::send(sock->fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        ORVI_LOGW("[Parameters]:dispatch request not sent: %s", strerror(errno));
        return 0;
    }
    char buf[CLOUD_DIS_REPLY_MAX];
    while (reply.size() < CLOUD_DIS_REPLY_MAX) {
        ssize_t n = ::recv(sock->fd, buf, CLOUD_DIS_REPLY_MAX - reply.size(), 0);
        if (n <= 0) break;  // closed, silent for 5 s, or failed: what arrived is the reply
        reply.append(buf, static_cast<size_t>(n));
        if (complete_json(reply)) break;
    }
    // A reply carries no zero byte; whatever follows one is not part of it.
    reply.resize(strnlen(reply.c_str(), reply.size()));
    return 0;
}

int cloud_dis_reply_parse(const std::string &reply, const std::string &default_key, cloud_dis_info_t *out) {
    json_ptr outer(cJSON_ParseWithLength(reply.data(), reply.size()), cJSON_Delete);
    const cJSON *pack = outer ? cJSON_GetObjectItemCaseSensitive(outer.get(), "pack") : nullptr;
    if (!cJSON_IsString(pack)) {
        ORVI_LOGW("[Parameters]:dispatch reply without \"pack\"");
        return -1;
    }
    std::string plain = pack->valuestring;
    if (orvi_aes_decrypt(default_key.c_str(), plain) != 0) {
        ORVI_LOGW("[Parameters]:dispatch reply does not decrypt");
        return -1;
    }
    json_ptr info(cJSON_Parse(plain.c_str()), cJSON_Delete);
    if (!info) {
        ORVI_LOGW("[Parameters]:MQTT_Info is NULL");
        return -1;
    }
    const cJSON *mqtt = cJSON_GetObjectItemCaseSensitive(info.get(), "mqttInfo");
    const cJSON *host = cJSON_GetObjectItemCaseSensitive(mqtt, "host");
    const cJSON *port = cJSON_GetObjectItemCaseSensitive(mqtt, "port");
    const cJSON *user = cJSON_GetObjectItemCaseSensitive(mqtt, "username");
    const cJSON *psw = cJSON_GetObjectItemCaseSensitive(mqtt, "password");
    if (!cJSON_IsString(host) || !host->valuestring[0] || !cJSON_IsNumber(port) || !cJSON_IsString(user) ||
        !cJSON_IsString(psw)) {
        ORVI_LOGW("[Parameters]:MQTT_Info is NULL");
        return -1;
    }
    if (port->valuedouble < 1 || port->valuedouble > 65535 || port->valuedouble != port->valueint) {
        ORVI_LOGW("[Parameters]:broker port %g refused", port->valuedouble);
        return -1;
    }
    out->broker_host = host->valuestring;
    out->broker_port = port->valueint;
    out->username = user->valuestring;
    out->password = psw->valuestring;
    out->nlu_host.clear();
    out->nlu_port = 0;
    const cJSON *nlu = cJSON_GetObjectItemCaseSensitive(info.get(), "nluInfo");
    const cJSON *nlu_host = cJSON_GetObjectItemCaseSensitive(nlu, "nluHost");
    const cJSON *nlu_port = cJSON_GetObjectItemCaseSensitive(nlu, "nluPort");
    if (cJSON_IsString(nlu_host) && cJSON_IsNumber(nlu_port) && nlu_port->valuedouble >= 1 &&
        nlu_port->valuedouble <= 65535) {
        out->nlu_host = nlu_host->valuestring;
        out->nlu_port = nlu_port->valueint;
    }
    return 0;
}

int cloud_mqtt_info_fill(const std::string &ipv4, const cloud_dis_info_t &dis, MQTT_Info_t *info) {
    MQTT_Info_t fresh{};
    const std::string port = std::to_string(dis.broker_port);
    const std::string uri = "tcp://" + ipv4 + ":" + port;
    if (dis.broker_port < 1 || dis.broker_port > 65535 || !orvi_field_set(fresh.port, port) ||
        !orvi_field_set(fresh.host, uri)) {
        ORVI_LOGW("[Parameters]:broker address '%s' does not fit, refused", uri.c_str());
        return -1;
    }
    if (!orvi_field_set(fresh.username, dis.username) || !orvi_field_set(fresh.password, dis.password)) {
        ORVI_LOGW("[Parameters]:broker username or password longer than %zu characters, refused",
                  sizeof(fresh.username) - 1);
        return -1;
    }
    *info = fresh;
    return 0;
}

std::string cloud_resolve_ipv4(const std::string &name) {
    res_init();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || !res) return "";
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, text, sizeof(text));
    freeaddrinfo(res);
    return text;
}
