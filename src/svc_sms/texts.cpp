/*
 * texts.cpp - what the messages say: the alarm texts in five languages, the
 * test bodies, the reply words of the command set, and which alarm goes to
 * whom.
 *
 * The tables are in alarm order (alarm number = alarm signal - 20000), one
 * row per alarm with its raised and its cleared text. The sensor alarms 34-53
 * repeat one pattern per module and are built from their templates. Texts
 * are UTF-8 and encoded to UCS-2 only when sent.
 */
#include "sms.hpp"

#include <cstdio>

namespace sms
{
namespace
{

constexpr int kFixedAlarms = 34; // 0..33; then four sensor modules

struct Row {
    const char* raised;
    const char* cleared;
};

// English.
constexpr Row kEnglish[kFixedAlarms] = {
    {"Battery fault", "Battery normal"},
    {"Battery powered", "The end of the battery powered"},
    {"Battery low", "Battery voltage normal"},
    {"Battery EOD", "Battery resume"},
    {"Temperature overrun MAX-value", "Temperature normal"},
    {"Input fault", "Input normal"},
    {"Output fault", "Output normal"},
    {"Load overrun MAX-value", "Load normal"},
    {"Bypass powered", "The end of the bypass powered"},
    {"Bypass fault", "Bypass normal"},
    {"The UPS output has shutdown as requested", "The UPS output has turned on again"},
    {"The entire UPS has shutdown as commanded", "The entire UPS has turned on again"},
    {"Charger subsystem fault", "Charger subsystem normal"},
    {"The output of the UPS is in the off state", "The output of the UPS is in the on state"},
    {"The UPS system is in the off state", "The UPS system is in the on state"},
    {"Fan fault", "Fan normal"},
    {"Fuse fault", "Fuse normal"},
    {"UPS fault", "UPS normal"},
    {"Last diagnostic test failed", "Diagnostic test normal"},
    {"Communications between the agent and the UPS fault",
     "Communications between the agent and the UPS normal"},
    {"UPS is awaiting the return of input power", "Input power has returned"},
    {"UPS shutdown after delay countdown is underway", "UPS shutdown after delay is cancelled"},
    {"The UPS will turn off power to the load", "The UPS keeps power to the load"},
    {"A test is in progress", "The test has ended"},
    {"Rectifier operation", "Rectifier stopped"},
    {"Inverter operation", "Inverter stopped"},
    {"Battery discharge", "Battery discharge ended"},
    {"Battery charge", "Battery charge ended"},
    {"Battery float", "Battery float ended"},
    {"Battery switch disconnected", "Battery switch connected"},
    {"Input switch disconnected", "Input switch connected"},
    {"Output switch disconnected", "Output switch connected"},
    {"Bypass switch disconnected", "Bypass switch connected"},
    {"UPS type", "UPS type"},
};

// Simplified Chinese.
constexpr Row kSimplified[kFixedAlarms] = {
    {"电池故障", "电池正常"},
    {"电池供电", "电池供电结束"},
    {"电池电压低", "电池电压正常"},
    {"电池放电终止", "电池恢复"},
    {"温度超过上限", "温度正常"},
    {"输入故障", "输入正常"},
    {"输出故障", "输出正常"},
    {"负载超过上限", "负载正常"},
    {"旁路供电", "旁路供电结束"},
    {"旁路故障", "旁路正常"},
    {"UPS输出已按要求关闭", "UPS输出已重新开启"},
    {"UPS已按命令整机关闭", "UPS整机已重新开启"},
    {"充电器故障", "充电器正常"},
    {"UPS输出处于关闭状态", "UPS输出处于开启状态"},
    {"UPS系统处于关闭状态", "UPS系统处于开启状态"},
    {"风扇故障", "风扇正常"},
    {"保险丝故障", "保险丝正常"},
    {"UPS故障", "UPS正常"},
    {"上次自检失败", "自检正常"},
    {"监控卡与UPS通讯故障", "监控卡与UPS通讯正常"},
    {"UPS正在等待输入电源恢复", "输入电源已恢复"},
    {"UPS延时关机倒计时进行中", "UPS延时关机已取消"},
    {"UPS即将关闭负载供电", "UPS保持负载供电"},
    {"正在进行测试", "测试结束"},
    {"整流器运行", "整流器停止"},
    {"逆变器运行", "逆变器停止"},
    {"电池放电", "电池放电结束"},
    {"电池充电", "电池充电结束"},
    {"电池浮充", "电池浮充结束"},
    {"电池开关断开", "电池开关闭合"},
    {"输入开关断开", "输入开关闭合"},
    {"输出开关断开", "输出开关闭合"},
    {"旁路开关断开", "旁路开关闭合"},
    {"UPS类型", "UPS类型"},
};

// Traditional Chinese.
constexpr Row kTraditional[kFixedAlarms] = {
    {"電池故障", "電池正常"},
    {"電池供電", "電池供電結束"},
    {"電池電壓低", "電池電壓正常"},
    {"電池放電終止", "電池恢復"},
    {"溫度超過上限", "溫度正常"},
    {"輸入故障", "輸入正常"},
    {"輸出故障", "輸出正常"},
    {"負載超過上限", "負載正常"},
    {"旁路供電", "旁路供電結束"},
    {"旁路故障", "旁路正常"},
    {"UPS輸出已按要求關閉", "UPS輸出已重新開啟"},
    {"UPS已按命令整機關閉", "UPS整機已重新開啟"},
    {"充電器故障", "充電器正常"},
    {"UPS輸出處於關閉狀態", "UPS輸出處於開啟狀態"},
    {"UPS系統處於關閉狀態", "UPS系統處於開啟狀態"},
    {"風扇故障", "風扇正常"},
    {"保險絲故障", "保險絲正常"},
    {"UPS故障", "UPS正常"},
    {"上次自檢失敗", "自檢正常"},
    {"監控卡與UPS通訊故障", "監控卡與UPS通訊正常"},
    {"UPS正在等待輸入電源恢復", "輸入電源已恢復"},
    {"UPS延時關機倒計時進行中", "UPS延時關機已取消"},
    {"UPS即將關閉負載供電", "UPS保持負載供電"},
    {"正在進行測試", "測試結束"},
    {"整流器運行", "整流器停止"},
    {"逆變器運行", "逆變器停止"},
    {"電池放電", "電池放電結束"},
    {"電池充電", "電池充電結束"},
    {"電池浮充", "電池浮充結束"},
    {"電池開關斷開", "電池開關閉合"},
    {"輸入開關斷開", "輸入開關閉合"},
    {"輸出開關斷開", "輸出開關閉合"},
    {"旁路開關斷開", "旁路開關閉合"},
    {"UPS類型", "UPS類型"},
};

// Turkish.
constexpr Row kTurkish[kFixedAlarms] = {
    {"Akü arızası", "Akü normal"},
    {"Aküden besleniyor", "Aküden besleme sona erdi"},
    {"Akü düşük", "Akü gerilimi normal"},
    {"Akü deşarj sonu", "Akü düzeldi"},
    {"Sıcaklık üst sınırı aştı", "Sıcaklık normal"},
    {"Giriş arızası", "Giriş normal"},
    {"Çıkış arızası", "Çıkış normal"},
    {"Yük üst sınırı aştı", "Yük normal"},
    {"Bypass'tan besleniyor", "Bypass'tan besleme sona erdi"},
    {"Bypass arızası", "Bypass normal"},
    {"UPS çıkışı istek üzerine kapatıldı", "UPS çıkışı yeniden açıldı"},
    {"UPS komut üzerine tamamen kapatıldı", "UPS yeniden açıldı"},
    {"Şarj ünitesi arızası", "Şarj ünitesi normal"},
    {"UPS çıkışı kapalı durumda", "UPS çıkışı açık durumda"},
    {"UPS sistemi kapalı durumda", "UPS sistemi açık durumda"},
    {"Fan arızası", "Fan normal"},
    {"Sigorta arızası", "Sigorta normal"},
    {"UPS arızası", "UPS normal"},
    {"Son tanılama testi başarısız", "Tanılama testi normal"},
    {"Ajan ile UPS arasında iletişim arızası", "Ajan ile UPS arasında iletişim normal"},
    {"UPS giriş gücünün dönmesini bekliyor", "Giriş gücü geri geldi"},
    {"UPS gecikmeli kapatma geri sayımı sürüyor", "Gecikmeli kapatma iptal edildi"},
    {"UPS yükün gücünü kesecek", "UPS yükü beslemeye devam ediyor"},
    {"Test sürüyor", "Test bitti"},
    {"Doğrultucu çalışıyor", "Doğrultucu durdu"},
    {"İnvertör çalışıyor", "İnvertör durdu"},
    {"Akü deşarj oluyor", "Akü deşarjı bitti"},
    {"Akü şarj oluyor", "Akü şarjı bitti"},
    {"Akü tampon şarjda", "Akü tampon şarjı bitti"},
    {"Akü şalteri açık", "Akü şalteri kapalı"},
    {"Giriş şalteri açık", "Giriş şalteri kapalı"},
    {"Çıkış şalteri açık", "Çıkış şalteri kapalı"},
    {"Bypass şalteri açık", "Bypass şalteri kapalı"},
    {"UPS tipi", "UPS tipi"},
};

// Portuguese.
constexpr Row kPortuguese[kFixedAlarms] = {
    {"Falha da bateria", "Bateria normal"},
    {"Alimentado pela bateria", "Fim da alimentação pela bateria"},
    {"Bateria baixa", "Tensão da bateria normal"},
    {"Fim de descarga da bateria", "Bateria recuperada"},
    {"Temperatura acima do valor máximo", "Temperatura normal"},
    {"Falha de entrada", "Entrada normal"},
    {"Falha de saída", "Saída normal"},
    {"Carga acima do valor máximo", "Carga normal"},
    {"Alimentado pelo bypass", "Fim da alimentação pelo bypass"},
    {"Falha do bypass", "Bypass normal"},
    {"A saída do UPS foi desligada conforme solicitado", "A saída do UPS foi religada"},
    {"O UPS foi desligado por completo conforme comandado", "O UPS foi religado"},
    {"Falha do carregador", "Carregador normal"},
    {"A saída do UPS está desligada", "A saída do UPS está ligada"},
    {"O sistema UPS está desligado", "O sistema UPS está ligado"},
    {"Falha do ventilador", "Ventilador normal"},
    {"Falha do fusível", "Fusível normal"},
    {"Falha do UPS", "UPS normal"},
    {"O último teste de diagnóstico falhou", "Teste de diagnóstico normal"},
    {"Falha de comunicação entre o agente e o UPS", "Comunicação entre o agente e o UPS normal"},
    {"O UPS aguarda o retorno da energia de entrada", "A energia de entrada retornou"},
    {"Contagem para desligamento do UPS em curso", "Desligamento com atraso cancelado"},
    {"O UPS vai cortar a energia da carga", "O UPS mantém a energia da carga"},
    {"Teste em andamento", "Teste concluído"},
    {"Retificador em operação", "Retificador parado"},
    {"Inversor em operação", "Inversor parado"},
    {"Bateria em descarga", "Fim da descarga da bateria"},
    {"Bateria em carga", "Fim da carga da bateria"},
    {"Bateria em flutuação", "Fim da flutuação da bateria"},
    {"Chave da bateria aberta", "Chave da bateria fechada"},
    {"Chave de entrada aberta", "Chave de entrada fechada"},
    {"Chave de saída aberta", "Chave de saída fechada"},
    {"Chave de bypass aberta", "Chave de bypass fechada"},
    {"Tipo de UPS", "Tipo de UPS"},
};

// Sensor module n (1-4): alarms 34 + n - 1 (link lost) and 38 + 4 (n - 1) +
// 0..3 (temperature high, low, humidity high, low). "%d" is the module.
struct SensorTemplates {
    const char* lost;
    const char* limits[4];
    const char* linkBack;
    const char* temperatureBack;
    const char* humidityBack;
};

constexpr SensorTemplates kSensorTexts[Languages] = {
    {"Ambient %d lost connect",
     {"Ambient %d temperature exceeds the upper limit",
      "Ambient %d temperature is below the set limit",
      "Ambient %d humidity exceeds the upper limit", "Ambient %d humidity is below the set limit"},
     "Temperature and humidity module %d communication normal",
     "Temperature and humidity module %d temperature normal",
     "Temperature and humidity module %d humidity normal"},
    {"环境%d通讯中断",
     {"环境%d温度超过上限", "环境%d温度低于下限", "环境%d湿度超过上限", "环境%d湿度低于下限"},
     "温湿度模块%d通讯正常",
     "温湿度模块%d温度正常",
     "温湿度模块%d湿度正常"},
    {"環境%d通訊中斷",
     {"環境%d溫度超過上限", "環境%d溫度低於下限", "環境%d濕度超過上限", "環境%d濕度低於下限"},
     "溫濕度模組%d通訊正常",
     "溫濕度模組%d溫度正常",
     "溫濕度模組%d濕度正常"},
    {"Ortam %d bağlantısı kesildi",
     {"Ortam %d sıcaklığı üst sınırı aştı", "Ortam %d sıcaklığı alt sınırın altında",
      "Ortam %d nemi üst sınırı aştı", "Ortam %d nemi alt sınırın altında"},
     "Sıcaklık ve nem modülü %d iletişimi normal",
     "Sıcaklık ve nem modülü %d sıcaklığı normal",
     "Sıcaklık ve nem modülü %d nemi normal"},
    {"Ambiente %d sem conexão",
     {"Temperatura do ambiente %d acima do limite superior",
      "Temperatura do ambiente %d abaixo do limite definido",
      "Umidade do ambiente %d acima do limite superior",
      "Umidade do ambiente %d abaixo do limite definido"},
     "Comunicação do módulo de temperatura e umidade %d normal",
     "Temperatura do módulo de temperatura e umidade %d normal",
     "Umidade do módulo de temperatura e umidade %d normal"},
};

constexpr const Row* kFixed[Languages] = {kEnglish, kSimplified, kTraditional, kTurkish,
                                          kPortuguese};

// The whole table of a language, built once.
struct Table {
    std::array<std::string, kAlarmTexts> raised, cleared;
};

std::string module(const char* pattern, int n)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, pattern, n);
    return buf;
}

const Table& table(int language)
{
    static const std::array<Table, Languages> tables = [] {
        std::array<Table, Languages> t;
        for (int l = 0; l < Languages; ++l) {
            for (int a = 0; a < kFixedAlarms; ++a) {
                t[l].raised[a] = kFixed[l][a].raised;
                t[l].cleared[a] = kFixed[l][a].cleared;
            }
            const SensorTemplates& s = kSensorTexts[l];
            for (int n = 1; n <= 4; ++n) {
                t[l].raised[kFixedAlarms + n - 1] = module(s.lost, n);
                t[l].cleared[kFixedAlarms + n - 1] = module(s.linkBack, n);
                for (int k = 0; k < 4; ++k) {
                    const int a = 38 + 4 * (n - 1) + k;
                    t[l].raised[a] = module(s.limits[k], n);
                    t[l].cleared[a] = module(k < 2 ? s.temperatureBack : s.humidityBack, n);
                }
            }
        }
        return t;
    }();
    return tables[language >= 0 && language < Languages ? language : English];
}

// Alarm number -> bit of the recipients' event masks, -1: never sent.
constexpr int kRecipientBits[kAlarmTexts] = {
    0,  0,  0,  0,  0,  3,  1,  2,  11, 6,  7,  12, 4,  5,  8,  9,  21, 16,
    17, 22, 23, 10, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, 24, 24, 25, 25, 24, 24, 25, 25, 24, 24, 25, 25, 24, 24, 25, 25,
};

// Alarm number -> bit of a registered user's alarm mask, -1: never sent.
constexpr int kUserBits[24] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  -1, -1,
                               10, 11, 12, 13, 14, 15, -1, 18, -1, -1, 16, 17};

constexpr const char* kTestTexts[Languages] = {"This is a test sms", "这是一个测试短信",
                                               "這是一個測試短信", "Bu bir deneme SMS'idir",
                                               "Esta é uma mensagem de teste"};

struct ReplyRow {
    const char* english;
    const char* chinese;
};
constexpr ReplyRow kReplies[] = {
    {"number set successfully", "号码设置成功"},    // NumberRegistered
    {"Number set successfully", "号码设置成功"},    // NumberSet
    {"Phone deleted successfully", "号码删除成功"}, // PhoneDeleted
    {"Alarm set successfully", "告警设置成功"},     // AlarmSet
    {"System set up successfully", "系统设置成功"}, // SystemSet
    {"Language set successfully", "语言设置成功"},  // LanguageSet
};

} // namespace

const char* alarmText(int language, int alarm, bool cleared)
{
    if (alarm < 0 || alarm >= kAlarmTexts) return nullptr;
    const Table& t = table(language);
    return (cleared ? t.cleared : t.raised)[alarm].c_str();
}

const char* testText(int language)
{
    return kTestTexts[language >= 0 && language < Languages ? language : English];
}

int recipientBit(int alarm)
{
    return alarm >= 0 && alarm < kAlarmTexts ? kRecipientBits[alarm] : -1;
}

int userBit(int alarm)
{
    return alarm >= 0 && alarm < int(std::size(kUserBits)) ? kUserBits[alarm] : -1;
}

const char* replyText(Reply r, bool english)
{
    const ReplyRow& row = kReplies[static_cast<int>(r)];
    return english ? row.english : row.chinese;
}

} // namespace sms
