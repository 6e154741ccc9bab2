// tframe.framekit: the strategy environment base.
//
// SystemBaseVar is the registry of global state, SystemBaseEnv the facade
// that reads bars, prices, targets, accounts and fees; the module functions
// hold the start-up handshake with the core process, the exit hook and the
// K-data frequency rule maps.  Host objects (the registry's fields, the
// constants namespace `gv`, the host modules' classes and functions) are
// looked up when used: the module's globals through `ns`, everything else
// through attributes.
#pragma once

#include "core/matrix.hpp"
#include "core/pyutil.hpp"

namespace fk {

namespace nb = nanobind;
using kc::Name;

// Empty native parts of the two classes: all of their state lives in the
// instance dictionary, so subclasses and hosts see plain attributes.
struct SystemBaseVar {};
struct SystemBaseEnv {};

// The module's namespace (late binding of its globals).
extern kc::ModuleNamespace ns;

// Qualified-name prefix of every traceback entry of this module.
#define FK_QUAL(name) "tframe.framekit." name

// A parameter of a bound operation; any value, None included, is passed on.
#define ARG(name) nb::arg(name).none()

// ------------------------------------------------------------------ names
namespace n {
// module globals
inline Name gv{"gv"}, env{"env"}, vr{"vr"}, smm{"smm"}, sysdefine{"sysdefine"};
inline Name CacheMgr{"CacheMgr"}, ClientSocket{"ClientSocket"}, HeatBeat{"HeatBeat"}, StrategyItem{"StrategyItem"},
    SettingItem{"SettingItem"}, OrderModeMgr{"OrderModeMgr"}, KDataContainer{"KDataContainer"},
    AdjKDataContainer{"AdjKDataContainer"}, RegKDataContainer{"RegKDataContainer"},
    AdjRegKDataContainer{"AdjRegKDataContainer"}, MainContractTimeSeriesData{"MainContractTimeSeriesData"},
    InstrumentTimeSeriesData{"InstrumentTimeSeriesData"}, DotDict{"DotDict"}, StatusCollect{"StatusCollect"},
    SystemModeMgr{"SystemModeMgr"}, OrderedDict{"OrderedDict"}, get_setting{"get_setting"},
    user_warning{"user_warning"}, write_syslog{"write_syslog"}, ArgumentChecker{"ArgumentChecker"}, todotmc{"todotmc"},
    np{"np"};
inline Name _before_first_cmd{"_before_first_cmd"}, _first_cmd_to_check_version{"_first_cmd_to_check_version"},
    _first_cmd_to_get_cache_dir{"_first_cmd_to_get_cache_dir"};

// registry fields
inline Name g_KorvitCache{"g_KorvitCache"}, g_KorvitSocket{"g_KorvitSocket"}, g_KorvitSocketSub{"g_KorvitSocketSub"},
    g_KorvitLastHeartBeat{"g_KorvitLastHeartBeat"}, g_KorvitModeTaskId{"g_KorvitModeTaskId"},
    g_KorvitInputInfo{"g_KorvitInputInfo"}, g_KorvitSettingInfo{"g_KorvitSettingInfo"},
    g_KorvitFreshBarStatus{"g_KorvitFreshBarStatus"}, g_KorvitAccountOrderMode{"g_KorvitAccountOrderMode"},
    g_KorvitAccounts{"g_KorvitAccounts"}, g_KorvitKDataList{"g_KorvitKDataList"},
    g_KorvitKDataList_Adj{"g_KorvitKDataList_Adj"}, g_KorvitDataValueFresh{"g_KorvitDataValueFresh"},
    g_KorvitDataValueFresh_Adj{"g_KorvitDataValueFresh_Adj"}, g_KorvitRegKDataInfo{"g_KorvitRegKDataInfo"},
    g_KorvitRegKDataInfo_Adj{"g_KorvitRegKDataInfo_Adj"}, g_KorvitTargetsInfo{"g_KorvitTargetsInfo"},
    g_KorvitMainContracts{"g_KorvitMainContracts"}, g_KorvitDataValueFreshUserD{"g_KorvitDataValueFreshUserD"},
    g_KorvitDataValueFreshUserI{"g_KorvitDataValueFreshUserI"}, g_KorvitSimCurBarFresh{"g_KorvitSimCurBarFresh"},
    g_KorvitTradingDays{"g_KorvitTradingDays"}, g_KorvitTickMap{"g_KorvitTickMap"},
    g_KorvitCurTickInfo{"g_KorvitCurTickInfo"}, g_KorvitLastChangeOrder{"g_KorvitLastChangeOrder"},
    g_KorvitDailyCloseTime{"g_KorvitDailyCloseTime"}, g_KorvitInstrument{"g_KorvitInstrument"},
    g_KorvitFactorValueDict{"g_KorvitFactorValueDict"}, g_KorvitUserContext{"g_KorvitUserContext"},
    g_KorvitMinFreqTurnPos{"g_KorvitMinFreqTurnPos"};

// environment fields and operations
inline Name snap{"snap"}, diff_cvt{"diff_cvt"}, diff_api{"diff_api"}, set_env{"set_env"},
    handle_idx_count{"handle_idx_count"}, target_idx_count{"target_idx_count"}, kv_disconnect_to{"kv_disconnect_to"};

// host objects' attributes
inline Name RefreshKDataIdx{"RefreshKDataIdx"}, TargetList{"TargetList"}, TargetListDot{"TargetListDot"},
    CurrentBar{"CurrentBar"}, Matrix{"Matrix"}, shape{"shape"}, ndim{"ndim"}, ravel{"ravel"}, size{"size"},
    Price{"Price"}, get{"get"}, handle{"handle"}, Type{"Type"}, upper{"upper"}, split{"split"},
    cost_fee_stock{"cost_fee_stock"}, cost_fee_future{"cost_fee_future"}, DailyCloseTime{"DailyCloseTime"},
    _internal_bar_num{"_internal_bar_num"}, instance{"instance"}, order_mode{"order_mode"},
    set_callback_connected{"set_callback_connected"}, disconnect{"disconnect"}, check_ndarray_idx{"check_ndarray_idx"},
    check_callable{"check_callable"}, force_phase{"force_phase"}, bar_item_pos{"bar_item_pos"},
    bar_field_name_to_int{"bar_field_name_to_int"}, kv_support_list{"kv_support_list"}, kv_version{"kv_version"},
    not_allow_comm_kv_tips{"not_allow_comm_kv_tips"}, allow_comm_kv{"allow_comm_kv"}, kvcore_name{"kvcore_name"},
    format{"format"}, log_timestamp{"log_timestamp"}, log_dir{"log_dir"}, init{"init"}, rm_log_file{"rm_log_file"},
    set_task_id_as_log_filename{"set_task_id_as_log_filename"}, set_task_id{"set_task_id"},
    remove_log_handler{"remove_log_handler"}, root_sub_dir{"root_sub_dir"}, rm_root_sub_dir{"rm_root_sub_dir"},
    mk_root_sub_dir{"mk_root_sub_dir"}, cls_root_sub_dir{"cls_root_sub_dir"};

// gv constants
inline Name KMatrixPos_TimeLine{"KMatrixPos_TimeLine"}, KMatrixPos_FreshIdx{"KMatrixPos_FreshIdx"},
    KMatrixPos_DayPos{"KMatrixPos_DayPos"}, KMatrixPos_End{"KMatrixPos_End"},
    KMatrixPos_Head_len{"KMatrixPos_Head_len"}, KMatrix_Open{"KMatrix_Open"}, KMatrix_High{"KMatrix_High"},
    KMatrix_Low{"KMatrix_Low"}, KMatrix_Close{"KMatrix_Close"}, KMatrix_Volume{"KMatrix_Volume"},
    KMatrix_TurnOver{"KMatrix_TurnOver"}, KMatrix_OpenInterest{"KMatrix_OpenInterest"},
    KMatrix_Bar_Begin{"KMatrix_Bar_Begin"}, KMatrix_Bar_End{"KMatrix_Bar_End"}, KMatrix_Bar_Len{"KMatrix_Bar_Len"},
    TARGETTYPE_STOCK{"TARGETTYPE_STOCK"}, TARGETTYPE_FUTURE{"TARGETTYPE_FUTURE"}, KFreq_Tick{"KFreq_Tick"},
    KFreq_Min{"KFreq_Min"}, KFreq_Day{"KFreq_Day"}, KFreq_Week{"KFreq_Week"}, KFreq_Month{"KFreq_Month"},
    KFreq_Year{"KFreq_Year"}, CALLUSER_INIT{"CALLUSER_INIT"}, CALLUSER_ONDATA{"CALLUSER_ONDATA"},
    CALLUSER_ORDER_STATUS{"CALLUSER_ORDER_STATUS"}, CALLUSER_ORDER_EXECUTION{"CALLUSER_ORDER_EXECUTION"},
    RUMMODE_PHASE_USERINIT{"RUMMODE_PHASE_USERINIT"}, RUMMODE_PHASE_ONDATA{"RUMMODE_PHASE_ONDATA"},
    RUMMODE_PHASE_DEAL_TRADE{"RUMMODE_PHASE_DEAL_TRADE"}, on_data{"on_data"}, on_order_status{"on_order_status"},
    on_execution{"on_execution"}, on_init_func{"on_init_func"}, on_data_func{"on_data_func"},
    on_order_status_func{"on_order_status_func"}, on_order_execution_func{"on_order_execution_func"};
} // namespace n

// ------------------------------------------------------ shared small reads

// self.vr / self.gv of an environment object.
inline nb::object env_vr(nb::handle self) { return kc::getattr(self, n::vr); }
inline nb::object env_gv(nb::handle self) { return kc::getattr(self, n::gv); }

// The fresh-bar cursor as a matrix column: 0 while it is NaN.
nb::object cursor_column(nb::handle cursor);

// `matrix[row, col]` (shared with the engine).
using kc::matrix_at;

// ------------------------------------------------------------- the classes
void registry_init(nb::handle self);
void registry_set_env(nb::handle self, nb::handle env);
void registry_save_snapshot(nb::handle self);
void bind_registry(nb::module_ &m);

void env_init(nb::handle self);
void bind_environment(nb::module_ &m);
// Binds the environment's lifecycle operations (task id, sockets, log,
// version information, output sub-directories).
void bind_environment_lifecycle(nb::class_<SystemBaseEnv> &cls);

// ------------------------------------------------------- module functions
// Binds the handshake, the exit hook and the rule maps (registering the exit
// hook with atexit as soon as it exists).
void bind_lifecycle(nb::module_ &m);

} // namespace fk
