// Types shared by the device protocol, the registry, the transports and the
// messaging layers: device types and classes, connection types, the
// transport descriptor and the key families.
#pragma once

#include <netinet/in.h>

#include <cstdint>

typedef enum {
    DEV_TYPE_NONE = 0,
    DEV_TYPE_CAN = 1,
    DEV_TYPE_485 = 2,
    DEV_TYPE_UDP = 3,
    DEV_TYPE_TOVRA = 4,
    DEV_TYPE_MINIPRO = 5,
    DEV_TYPE_CENTCTRL = 6,
    DEV_TYPE_HOST = 7,
    DEV_TYPE_PWRGATEWAY = 8,
    DEV_TYPE_GATEWAY = 9,
    DEV_TYPE_BLE = 10,
    DEV_TYPE_WIFI = 11,
    DEV_TYPE_OPGATEWAY = 12,
    DEV_TYPE_OPDEV = 13,
    DEV_TYPE_MJGATEWAY = 14,
    DEV_TYPE_MAX = 15,
    DEV_TYPE_GROUP_UDP_CENTCTRL = 50,
    DEV_TYPE_GROUP_CAN_485 = 51,
    DEV_TYPE_GROUP_UDP_CENTCTRL_GW = 52,
    DEV_TYPE_SPECIAL_LINE = 69,
    DEV_TYPE_CURTAINER = 70,
    DEV_TYPE_ALL_MAX = 71,
} dev_type_t;

typedef enum {
    DEV_CLASS_TYPE_NONE = 0,
    DEV_CLASS_TYPE_SWITCH = 3,
    DEV_CLASS_TYPE_CENTRL = 5,
    DEV_CLASS_TYPE_CURTAIN = 7,
    DEV_CLASS_TYPE_LIGHT = 8,
    DEV_CLASS_TYPE_FAN = 9,
    DEV_CLASS_TYPE_AC = 10,
    DEV_CLASS_TYPE_MAX = 11,
} dev_class_t;

typedef enum {
    SERVER_UNREGISTER = 0,
    SERVER_REGISTERED = 1,
    SERVER_RELEASE = 2,
} register_flag_t;

typedef enum {
    SOCKET_CONNECT_TYPE_NONE = 0,
    SOCKET_CONNECT_TYPE_TCP = 1,
    SOCKET_CONNECT_TYPE_UDP = 2,
    SOCKET_CONNECT_TYPE_BROADCAST = 3,
    SOCKET_CONNECT_TYPE_MULTICAST = 4,
    SOCKET_CONNECT_TYPE_MQTT = 5,
    SOCKET_CONNECT_TYPE_HTTP = 6,
    SOCKET_CONNECT_TYPE_UDS = 7,
    SOCKET_CONNECT_TYPE_BLE = 8,
} connect_type_t;

typedef enum {
    DATA_TYPE_ONLY_SEND = 0,
    DATA_TYPE_NEED_PARSE = 1,
} data_type_t;

// Key families: the envelope's "i".
typedef enum {
    AES_KEY_TYPE_RANDOM = 0,
    AES_KEY_TYPE_DEFAULT = 1,
    AES_KEY_TYPE_NONE = 2,
} aes_key_t;

// How a subdevice or a request's peer is reached.
typedef struct dev_socket_s {
    int fd = -1;
    struct sockaddr_in ip_addr {};
    connect_type_t type = SOCKET_CONNECT_TYPE_NONE;
    char topic[64] = {0};
} dev_socket_t;

typedef struct file_socket_s {
    unsigned long tcp_thread = 0;
    int fd = -1;
    struct sockaddr_in ip_addr {};
} file_socket_t;
