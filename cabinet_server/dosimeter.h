#pragma once

#include <QString>

// Dosimeter commands. Each is one exchange on the given port and answers a
// command result text {"<key>": "<value>","error":"<message>"}; an empty
// "error" means success. Request builders and reply decoders live beside
// them so that the byte-level rules can be tested without a device.

// Identity and user records
QString Get_Nomer_PPD(QString port);
QString Get_Type_PPD(QString port);
QString Get_user_id(QString port, QString nomer);
QString Get_user_order(QString port, QString nomer);
QString Set_user_id(QString port, QString nomer, QString text);
QString Set_user_order(QString port, QString nomer, QString text);
QString Set_user_PPD(QString port, QString nomer, QString text);

// Doses, thresholds, modes. The two dose resets fail with these texts; a
// reply that carries one left that dose on the dosimeter.
QString resetDeFailure();
QString resetNdeFailure();
QString Reset_de(QString port, QString nomer);
QString Set_maxder(QString port, QString nomer);
QString Set_de1(QString port, QString nomer, QString value);
QString Set_de2(QString port, QString nomer, QString value);
QString Set_der1(QString port, QString nomer, QString value);
QString Set_der2(QString port, QString nomer, QString value);
QString Reset_nde(QString port, QString nomer);
QString Set_nmaxder(QString port, QString nomer);
QString Set_nde1(QString port, QString nomer, QString value);
QString Set_nde2(QString port, QString nomer, QString value);
QString Set_nder1(QString port, QString nomer, QString value);
QString Set_nder2(QString port, QString nomer, QString value);
QString Set_screen_on_PPD(QString port, QString nomer);
QString Set_screen_off_PPD(QString port, QString nomer);
QString Ack_configuration_PPD(QString port, QString nomer);
QString Get_des_val(QString port, QString nomer);
QString Get_maxder(QString port, QString nomer);
QString Get_maxtime(QString port, QString nomer);
QString Get_ndes_val(QString port, QString nomer);
QString Get_nmaxder(QString port, QString nomer);
QString Get_nmaxtime(QString port, QString nomer);

// Event history
QString Get_count_event_history(QString port, QString nomer);
QString Get_history_all(QString port, QString nomer);
