// Room group control.
//
// Lights are switched by one group command to the room, sent three times on
// the scene queue (the broadcast reaches every light of the room at once, so
// no light is asked alone). Curtains get the curtain scene of their per cent
// and then one command each, since each model moves on its own form.
// The provisional statuses that state the commanded values before the
// devices answer come with the status poller; until then the devices' own
// reports are what the app sees.
#include "tovra_ctrl.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "orvi_field.h"
#include "orvi_log.h"
#include "product_subdev.h"
#include "tovra_queue.h"
#include "tovra_sql.h"

namespace {

const int kDevTypeCurtain = 7;
const int kDevTypeLight = 8;

int lights_ctrl(int room, int pow, int lum, int color_temp) {
    uint8_t data[6] = {0};
    int len = 0;
    if (pow == 0) {
        data[0] = 0x00;
        len = 1;
    } else if (pow == 1) {
        data[0] = 0x80;
        len = 1;
    } else if (pow == 2 && lum != 0) {
        // The app's per cent; the lights take 0 to 127.
        data[0] = static_cast<uint8_t>(std::clamp(lum, 0, 100) * 127 / 100);
        len = 1;
    } else if (pow == 3) {
        const int k = std::clamp(color_temp, 2700, 5000);
        const int t = (k - 2700) * 255 / 2300;
        const uint8_t b[6] = {0x80, 0, 0, 0, static_cast<uint8_t>(255 - t), static_cast<uint8_t>(t)};
        memcpy(data, b, sizeof b);
        len = 6;
    } else {
        ORVI_LOGW("[TOVRA]room %d lights: Pow %d with Lum %d asks nothing", room, pow, lum);
        return -1;
    }
    return at_tovra_all_ctrl_msg_add_queue(static_cast<uint16_t>(room), data, len);
}

bool curtain_model(const char *mid) {
    return strcmp(mid, "70710") == 0 || strcmp(mid, "70711") == 0 || strcmp(mid, "70713") == 0;
}

int curtains_ctrl(int room, int cur) {
    const int percent = std::clamp(cur, 0, 100);
    int rc = at_scene_ctrl_msg_add_queue(static_cast<uint32_t>(TOVRA_CURTAIN_SCENE_BASE + percent));
    std::set<int32_t> done;
    for (const orvi_subdev_ptr &dev : product_subdev_list_snapshot()) {
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        if (f.dev_type != DEV_TYPE_TOVRA || !curtain_model(f.mid)) continue;
        if (room != 0 && roomId_to_sId(f.roomId) != room) continue;
        if (f.macId < 0 || f.macId > 0xFFFF || !done.insert(f.macId).second) continue;
        const int flag = strcmp(f.mid, "70713") == 0 ? 1 : 0;
        if (at_three_parties_curtain_group_ctrl_msg_add_queue(static_cast<uint16_t>(f.macId),
                                                              static_cast<uint8_t>(percent), flag) != 0)
            rc = -1;
        std::vector<host_limit_set_info_t> limits;
        tovra_limit_set_sql_table_select(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, "LIMITADDR",
                                         tovra_sql_num(f.macId), limits);
        if (limits.empty() || !limits.front().uplimitsetting || !limits.front().lowlimitsetting)
            ORVI_LOGI("[TOVRA]The room curtain group ctrl is not equipped with a limit stop!\n\r");
    }
    return rc;
}

}  // namespace

int tovra_room_group_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent) {
    ORVI_LOGI("[TOVRA]tovra_device_all_ctrl: Room_ID %d,  Pow %d, DevType %d, Lum %d, ColorTemp %d, CurPercent %d\n\r",
              Room_ID, Pow, DevType, Lum, ColorTemp, CurPercent);
    if (Room_ID < 0 || Room_ID > 0xFF) {
        ORVI_LOGW("[TOVRA]room %d is not a short room id", Room_ID);
        return -1;
    }
    if (DevType == kDevTypeLight) return lights_ctrl(Room_ID, Pow, Lum, ColorTemp);
    if (DevType == kDevTypeCurtain) return curtains_ctrl(Room_ID, CurPercent);
    ORVI_LOGW("[TOVRA]tovra_device_all_ctrl DevType is error: %d\n\r", DevType);
    return -1;
}
