#pragma once

#include <QString>

// Built-in settings of the terminal. The connection values can be overridden
// from the standard PostgreSQL environment variables (applyEnvironment()).
extern QString G_ip_database;
extern int G_port_database;          // -1: the driver's default port
extern QString G_DatabaseName;       // also the name of the registered connection
extern QString G_UserName;
extern QString G_Password;
extern QString G_Password_Settings;
extern QString G_Password_Settings_Out;
extern int G_SERVICE_Tulem_Narbet;
extern int G_Input_value;
extern QString G_Path_RAM;
// Folder of the photo cache when it is not G_Path_RAM (empty: G_Path_RAM).
// Where the reader folder belongs to the readers' account alone, the
// terminal's account needs a folder of its own for the photos.
extern QString G_Path_photo;
// The folder the photo cache is written to.
QString photoFolder();
// Seconds without a touch after which the cell dialog returns to the main
// screen by itself; 0 turns this off.
extern int G_Cell_idle_seconds;

// Run-time state shared by the main window and the login.
extern bool Global_Timer_main;
extern int Global_Timer_Error;
extern QString Global_user_id;
extern QString Global_user_name;

// Takes PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD, ORVIK_PATH_RAM,
// ORVIK_PHOTO_DIR and ORVIK_CELL_IDLE_SECONDS from the environment where they
// are set and not empty.
void applyEnvironment();

// Writes a default "Settings" group to settings.ini in the working directory.
void WriteSettings();
