// The daemon's one lock order, bottom to top. A thread holds its locks as a
// stack: it may take a lock only while every lock it already holds sits
// below it here. Each module-level lock is declared here and defined in its
// module; ACQUIRED_AFTER names the locks that may be held while it is
// taken, so clang (-Wthread-safety-beta, `make thread-safety`) refuses a
// function that takes two of them against the order. The relation is
// transitive: a lock may be taken under anything below the locks it names.
//
// The stack follows the layers the other way round: a higher layer calls
// down holding its own lock, so its lock sits lower in the stack. Two
// exceptions sit at the very bottom: the timer tick runs every timer
// callback (of any layer) under its tick lock, and the event loop's start
// and stop hold theirs around the loop's own locks.
//
// Locks of one tier that name no order between them are never held
// together. The compiler sees an order only inside one function; a nesting
// across a call (module lock held, then a call down that takes another) is
// what the tiers below allow, and nothing else.
//
// Per-instance locks (a registry record's mu, a linking list's lock, a TCP
// link's write_mu, the lists' locks) are members of their structures and
// are annotated there against the module lock they nest under; their rest
// is written next to their tier.
#pragma once

#include "orvi_thread_annotations.h"

// ---- Tier 0: around callbacks and the life of service threads -------------
// Held while every timer callback of one tick runs (orvi_timer.cpp): any lock
// a callback takes sits above it. Guards nothing else.
extern orvi::Mutex orvi_timer_tick_run_mu;
// Starting and stopping the tick thread (guards the thread object). The stop
// joins the tick thread, which takes orvi_timer_tick_run_mu.
extern orvi::Mutex orvi_timer_thread_mu;
// Serialises the event loop's init and deinit; held while they take the
// loop's consumer and delay locks.
extern orvi::Mutex orvi_event_loop_init_mu;

#define ORVI_LOCKS_TIER0 orvi_timer_tick_run_mu, orvi_timer_thread_mu, orvi_event_loop_init_mu

// ---- Tier 1: handlers --------------------------------------------------------
// Each guards its module's state; a handler may call down (publishers,
// intake, transports, registry, identity, timers, logging) holding it.
extern orvi::Mutex orvi_bincmd_hooks_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);      // retry hooks
extern orvi::Mutex orvi_status_app_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);        // scene answers, up/down id
extern orvi::Mutex orvi_bind_room_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);         // paged room push counter
extern orvi::Mutex orvi_bind_roomid_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);       // room-id updates of a push
extern orvi::Mutex orvi_bind_sync_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);         // device-list sync timer
extern orvi::Mutex orvi_bind_updevlist_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);    // prepared upDevList text
extern orvi::Mutex orvi_bind_check_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);        // self-check state
extern orvi::Mutex orvi_bind_switch_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);       // switch-bind state
extern orvi::Mutex orvi_host_event_upload_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);  // connection upload timer
extern orvi::Mutex orvi_local_monitor_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);     // CAN and RS-485 bus states
extern orvi::Mutex orvi_backup_restore_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);    // the restore request
extern orvi::Mutex orvi_event_topics_match_mu ACQUIRED_AFTER(ORVI_LOCKS_TIER0);  // pairing window timer

#define ORVI_LOCKS_HANDLERS                                                                              \
    orvi_bincmd_hooks_mu, orvi_status_app_mu, orvi_bind_room_mu, orvi_bind_roomid_mu, orvi_bind_sync_mu, \
        orvi_bind_updevlist_mu, orvi_bind_check_mu, orvi_bind_switch_mu, orvi_host_event_upload_mu,      \
        orvi_local_monitor_mu, orvi_backup_restore_mu, orvi_event_topics_match_mu
// Per instance in this tier: the retry list's mu (orvi_bincmd.h) may be
// taken under any handler lock and takes nothing but logging itself. The
// event topics' inbound queue, subscription state and gateway tokens each
// have a lock of their own (orvi_event_topics.cpp): leaves.

// ---- Tier 2: publishers --------------------------------------------------------
// The mini-app's paged push counters, then its page resend (the resend
// stores the page in the target's record and drives its timer).
extern orvi::Mutex orvi_miniapp_push_mu ACQUIRED_AFTER(ORVI_LOCKS_HANDLERS);
extern orvi::Mutex orvi_miniapp_resend_mu ACQUIRED_AFTER(orvi_miniapp_push_mu);
// The MACs waiting for their room announcement.
extern orvi::Mutex event_publish_room_batch_mu ACQUIRED_AFTER(ORVI_LOCKS_HANDLERS);

#define ORVI_LOCKS_PUBLISHERS orvi_miniapp_resend_mu, event_publish_room_batch_mu
// Per instance in this tier: each sync delay's mu (event_publish_named.cpp)
// guards its timer id and calls the timer service holding it.

// ---- Tier 3: intake ----------------------------------------------------------------
extern orvi::Mutex orvi_request_dispatch_mu ACQUIRED_AFTER(ORVI_LOCKS_PUBLISHERS);  // the dispatch tables
// The request queue's id and the copies in flight; held over the queue send.
extern orvi::Mutex orvi_request_queue_mu ACQUIRED_AFTER(ORVI_LOCKS_PUBLISHERS);

#define ORVI_LOCKS_INTAKE orvi_request_dispatch_mu, orvi_request_queue_mu

// ---- Tier 4: transports ----------------------------------------------------------
// The request sink start-up wires (a copy is taken; the sink runs unlocked).
extern orvi::Mutex orvi_transport_sink_mu ACQUIRED_AFTER(ORVI_LOCKS_INTAKE);
// The LAN sockets' descriptors, generation and line framer; held over a
// datagram send, and while reading the port settings.
extern orvi::Mutex orvi_socket_mu ACQUIRED_AFTER(ORVI_LOCKS_INTAKE);
extern orvi::Mutex orvi_socket_ports_mu ACQUIRED_AFTER(orvi_socket_mu);
// Creation of the process-wide TCP link list.
extern orvi::Mutex orvi_subdev_tcp_list_mu ACQUIRED_AFTER(ORVI_LOCKS_INTAKE);
// Local MQTT: creating a subscriber (first kind) and connecting it, then
// creating a client of the second kind; both wait for the connection, so
// they sit below the transport's other locks.
extern orvi::Mutex local_mqtt_sub_create_mu ACQUIRED_AFTER(ORVI_LOCKS_INTAKE);
extern orvi::Mutex local_mqtt_client_create_mu ACQUIRED_AFTER(local_mqtt_sub_create_mu);
extern orvi::Mutex local_mqtt_sub3_list_mu ACQUIRED_AFTER(local_mqtt_client_create_mu);  // first-kind records
extern orvi::Mutex local_mqtt_clients_mu ACQUIRED_AFTER(local_mqtt_client_create_mu);    // second-kind clients
extern orvi::Mutex local_mqtt_inbound_mu ACQUIRED_AFTER(local_mqtt_client_create_mu);    // received messages
extern orvi::Mutex local_mqtt_life_mu ACQUIRED_AFTER(local_mqtt_client_create_mu);       // thread count, wake-ups
extern orvi::Mutex local_mqtt_settings_mu ACQUIRED_AFTER(local_mqtt_client_create_mu);   // broker URI, pool
extern orvi::Mutex local_mqtt_drop_log_mu ACQUIRED_AFTER(local_mqtt_client_create_mu);   // drop episodes
extern orvi::Mutex local_mqtt_randomkey_mu ACQUIRED_AFTER(local_mqtt_client_create_mu);  // the host random key
// The Wi-Fi station's configuration: held over a whole connect, switch on or
// switch off (their commands run under it), so two callers never interleave
// their steps on the supplicant.
extern orvi::Mutex orvi_wifi_config_mu ACQUIRED_AFTER(ORVI_LOCKS_INTAKE);

#define ORVI_LOCKS_TRANSPORTS                                                                             \
    orvi_transport_sink_mu, orvi_socket_ports_mu, orvi_subdev_tcp_list_mu, local_mqtt_sub3_list_mu,       \
        local_mqtt_clients_mu, local_mqtt_inbound_mu, local_mqtt_life_mu, local_mqtt_settings_mu,         \
        local_mqtt_drop_log_mu, local_mqtt_randomkey_mu, orvi_wifi_config_mu
// Per instance in this tier: a second-kind client's m sits above
// local_mqtt_clients_mu (its map, topics and delivery list); a first-kind
// record's topics_mutex, the request table's lock, the publish list's lock,
// the TCP link list's sem and a link's write_mu are leaves (ORVI_LEAF_LOCK):
// nothing but logging is taken under them. A link's subdev_ptr is guarded by
// its list's sem.

// ---- Tier 5: envelope and codecs -----------------------------------------------
// Around dlopen and dlclose of the codec plug-ins (the plug-in runs unlocked).
extern orvi::Mutex orvi_codec_loader_mu ACQUIRED_AFTER(ORVI_LOCKS_TRANSPORTS);

#define ORVI_LOCKS_ENVELOPE orvi_codec_loader_mu

// ---- Tier 6: registry -------------------------------------------------------------
// The linking lists' two-step updates, then a list's own lock (member).
extern orvi::Mutex registry_linking_mu ACQUIRED_AFTER(ORVI_LOCKS_ENVELOPE);
// Creation of a linking list behind a caller's pointer.
extern orvi::Mutex registry_list_init_mu ACQUIRED_AFTER(ORVI_LOCKS_ENVELOPE);
// The table lock: the table, its MAC index, the counters, the rooms and the
// host-level fields. Never held across a call out of the registry; a
// record's mu (member) sits above it, parent before sub-subdevice.
extern orvi::Mutex host_info_mu ACQUIRED_AFTER(ORVI_LOCKS_ENVELOPE);
// Held only to copy the listeners out.
extern orvi::Mutex registry_listeners_mu ACQUIRED_AFTER(registry_linking_mu, registry_list_init_mu, host_info_mu);
// The lighting tables (tovra_sql.cpp): the device table's database, then
// the other three. Each is held from a database's open to its close and
// takes nothing but the board root and logging; never held together.
extern orvi::Mutex tovra_info_lock ACQUIRED_AFTER(ORVI_LOCKS_ENVELOPE);
extern orvi::Mutex tovra_scene_info_lock ACQUIRED_AFTER(ORVI_LOCKS_ENVELOPE);

#define ORVI_LOCKS_REGISTRY registry_listeners_mu, tovra_info_lock, tovra_scene_info_lock

// ---- Tier 7: identity ---------------------------------------------------------------
// The identity record and the host settings; held only for a copy, never
// while the configuration file is written.
extern orvi::Mutex orvi_dev_info_mu ACQUIRED_AFTER(ORVI_LOCKS_REGISTRY);
// The restart and backup settings.
extern orvi::Mutex orvi_ins_info_mu ACQUIRED_AFTER(ORVI_LOCKS_REGISTRY);

#define ORVI_LOCKS_IDENTITY orvi_dev_info_mu, orvi_ins_info_mu

// ---- Tier 8: storage ------------------------------------------------------------------
// The configuration file and its backups, held over their reads and writes.
extern orvi::Mutex orvi_store_mu ACQUIRED_AFTER(ORVI_LOCKS_IDENTITY);
// The parsed model configuration (a copy of the pointer is taken).
extern orvi::Mutex orvi_mid_config_mu ACQUIRED_AFTER(ORVI_LOCKS_IDENTITY);

#define ORVI_LOCKS_STORAGE orvi_store_mu, orvi_mid_config_mu

// ---- Tier 9: port --------------------------------------------------------------------
// The pending delayed event; held while it creates or deletes its timer.
extern orvi::Mutex orvi_event_loop_delay_mu ACQUIRED_AFTER(ORVI_LOCKS_STORAGE);
// Lets the event loop's deinit wait for the consumer thread.
extern orvi::Mutex orvi_event_loop_consumer_mu ACQUIRED_AFTER(ORVI_LOCKS_STORAGE);
// The timer table and the tick counters. Callbacks never run under it.
extern orvi::Mutex orvi_timer_list_mu ACQUIRED_AFTER(ORVI_LOCKS_STORAGE, orvi_event_loop_delay_mu);

#define ORVI_LOCKS_PORT orvi_event_loop_consumer_mu, orvi_timer_list_mu

// A lock that is taken last: it may be taken under any module lock but the
// two at the top, and nothing but logging is taken under it.
#define ORVI_LEAF_LOCK ACQUIRED_AFTER(ORVI_LOCKS_PORT)

// The lighting module's link: its four command queues, and the module MAC,
// sent-scene list and reset marks of the receive side. Leaves: the link
// copies out under them and calls its hooks and the port unlocked.
extern orvi::Mutex tovra_queue_mu ORVI_LEAF_LOCK;
extern orvi::Mutex tovra_link_mu ORVI_LEAF_LOCK;
// The lighting service's status polling: its cycle, offline and
// delayed-check tables, new-device list and queued provisional records
// (tovra_poll.cpp). A leaf: copied out under it, everything called after.
extern orvi::Mutex tovra_poll_mu ORVI_LEAF_LOCK;
// The lighting service's list of received messages (tovra_dispatch.cpp) has
// a lock of its own: a leaf.

// ---- Top: taken under anything, taking nothing --------------------------------------
// The board root every path is resolved against.
extern orvi::Mutex orvi_port_root_mu ACQUIRED_AFTER(ORVI_LOCKS_PORT);
// The log's per-call-site budgets; every lock above may be held while logging.
extern orvi::Mutex orvi_log_sites_mu ACQUIRED_AFTER(ORVI_LOCKS_PORT);
