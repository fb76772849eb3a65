// The dispatch tables live with the handlers they name, so the intake below
// knows packet types only by name and its key rules only by row.
#include "orvi_handlers.h"

#include "orvi_host_event.h"

namespace {

const request_handle_row_t s_handles_list[] = {
    {"UBind", 1, false, request_handle_UBind},
    {"status", 0, false, request_handle_status},
    {"binStatus", 2, false, request_handle_binStatus},
    {"dat", 2, false, request_handle_dat},
    {"connect", 2, false, request_handle_connect},
    {"cmd", 2, false, request_handle_jsonCmd},
    {"jsonCmd", 2, false, request_handle_jsonCmd},
    {"hb", 1, false, request_handle_hb},
    {"Utm", 0, false, request_handle_Utm},
    {"ret", 0, false, request_handle_ret},
    {"res", 0, false, request_handle_res},
    {"upgrade", 2, true, request_handle_upgrade},
    {"jsonStatus", 0, false, request_handle_jsonStatus},
    {"configStatus", 0, false, request_handle_configStatus},
    {"AddTiming", 2, false, request_handle_time},
    {"DeleteTiming", 2, false, request_handle_time},
    {"UpdateTiming", 2, false, request_handle_time},
    {"upRoomInfo", 2, false, request_handle_upRoomInfo},
    {"checksub", 2, false, request_handle_checksub},
    {"devListPush", 0, false, request_handle_devListPush},
    {"roomListPush", 0, false, request_handle_roomListPush},
    {"DevOnlineRes", 0, false, request_handle_devOnlineRes},
    {"DevOnlineDone", 0, false, request_handle_devOnlineDone},
    {"CheckResRes", 0, false, request_handle_checkResRes},
    {"CheckResDone", 0, false, request_handle_checkResDone},
    {"binSubStatus", 1, false, request_handle_binSubStatus},
    {"binSubEvent", 1, false, request_handle_binSubEvent},
    {"syncPersistent", 0, false, request_handle_syncPersistent},
    {"devListPushRes", 0, false, request_handle_devListPushRes},
    {"485Configure", 0, false, request_handle_485Configure},
    {"sceneSinglepush", 0, false, request_handle_sceneSinglepush},
    {"switchBindPush", 2, false, request_handle_switchBindPush},
    {"CheckSceneExe", 0, false, request_handle_checkSceneExe},
    {"updownFlag", 0, false, request_handle_updown},
    {"getLoginInfo", 0, false, request_handle_getLoginInfo},
    {"subDev", 0, false, request_handle_subDev},
    {"statusCheckRes", 0, false, request_handle_statusCheckRes},
    {"bind", 2, true, request_handle_bind},
    {"subBDev", 2, true, request_handle_subBDev},
    {"QnetDev", 2, true, request_handle_QnetDev},
    {"bleCheck", 2, true, request_handle_bleCheck},
    {"homeBind", 2, true, request_handle_homeBind},
    {nullptr, 0, false, nullptr},
};

const request_send_row_t s_send_handles_list[] = {
    {"scan", orvi_send_scan},
    {"binCmd", orvi_send_binCmd},
    {"jsonStatus", orvi_send_jsonStatus},
    {"syncDev", orvi_send_syncDev},
    {"miniAppRes", orvi_send_miniAppRsp},
    {"binStatus", orvi_send_binStatus},
    {"upDevList", orvi_send_upDevList},
    {"jsonStatus_mqtt", orvi_send_jsonStatus_mqtt},
    {"mulcastTst", orvi_send_multicast_test},
    {"syncDone", orvi_send_syncDone},
    {"sceneSingleSetRes", orvi_send_sceneSingleSetRes},
    {"soLoadState", orvi_send_soLoadState},
    {"bleinfo", orvi_send_bleinfo},
    {nullptr, nullptr},
};

const request_dispatch_t s_dispatch = {
    s_handles_list, s_send_handles_list, orvi_sceneTag_extras_res, orvi_event_loop_cb, orvi_hb_timeout_cb,
};

}  // namespace

const request_dispatch_t *orvi_handlers_dispatch(void) {
    return &s_dispatch;
}
