"""Write examples/parameters.xlsx, a small parameter workbook for a test station.

    python examples/make_example.py [OUTPUT]

Three sheets in the layout that orv_testparameters reads (header row, then one
parameter per row: Description, Value, Low, Up, Unit, Name, Type):

- Supply:  power-supply settings; Low and Up are absolute bounds.
- Timing:  timing settings; Low and Up are offsets from the value, to be read
           in relative mode (BookParameters.LIMIT_MODE_RELATIVE, or
           "testparams check ... Timing --relative").
- Station: facts about the station, one row for each remaining variable type.

The cells hold what a test engineer would type: numbers as numbers, texts as
texts. Every variable type appears at least once.
"""
import datetime
import os
import sys

from openpyxl import Workbook
from openpyxl.styles import Font

HEADER = ("Description", "Value", "Low", "Up", "Unit", "Name", "Type")

SHEETS = [
    ("Supply", [
        ("Core supply voltage", 3.3, 3.135, 3.465, "V", "VDD", "float"),
        ("I/O supply voltage", 1.8, 1.71, 1.89, "V", "VDD_IO", "float"),
        ("Standby current, upper bound", 0.002, 0, 0.005, "A", "IDD_standby", "float"),
        ("Supply output channel", 2, 1, 4, None, "PSU_channel", "int"),
        ("Current limit (hexadecimal is accepted)", "0x1F4", 100, 1000, "mA",
         "PSU_current_limit", "int"),
        ("Ramp-up steps", "[0.0, 1.2, 2.5, 3.3]", None, None, "V", "VDD_ramp", "eval"),
        ("Remote sense enabled", "yes", None, None, None, "remote_sense", "bool"),
        ("Supply instrument address", "GPIB0::5::INSTR", None, None, None, "PSU_resource",
         "str"),
    ]),
    ("Timing", [
        ("Clock period (limits relative to the value)", 40.0, -0.4, 0.4, "ns", "clk_period",
         "float"),
        ("Reset pulse width (limits relative)", 100, -10, 50, "us", "reset_width", "int"),
        ("Settling time after power-up (limits relative)", 0.05, 0, 0.02, "s",
         "settle_time", "float"),
        ("Retries after a timeout (limits relative)", 3, -3, 2, None, "retries", "int"),
        ("Measurement timeout", 30000, None, None, "ms", "timeout", "int"),
    ]),
    ("Station", [
        ("Station name", "FCT-02", None, None, None, "station_name", "string"),
        ("Production line shown on labels", "Zürich line 3", None, None, None, "line_label",
         "unicode"),
        ("Serial number prefix sent to the DUT", "SN-", None, None, None, "serial_prefix",
         "bytes"),
        ("Fixture calibration due", datetime.datetime(2026, 6, 30), None, None, None,
         "calibration_due", "auto"),
        ("Loops per unit", 10, None, None, None, "loops", "auto"),
        ("Ambient temperature", 23.0, 18.0, 28.0, "°C", "ambient_temp", "float"),
        ("Write results to the database", True, None, None, None, "log_results", "boolean"),
        ("Fixture identifier (no type: read as text)", "FX-07", None, None, None,
         "fixture_id", None),
    ]),
]

WIDTHS = {"A": 46, "B": 22, "C": 8, "D": 8, "E": 6, "F": 18, "G": 9}


def build():
    book = Workbook()
    book.remove(book.active)
    for title, rows in SHEETS:
        sheet = book.create_sheet(title)
        sheet.append(HEADER)
        for cell in sheet[1]:
            cell.font = Font(bold=True)
        for row in rows:
            sheet.append(row)
        for column, width in WIDTHS.items():
            sheet.column_dimensions[column].width = width
        sheet.freeze_panes = "A2"
    return book


def main(argv):
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "parameters.xlsx")
    path = argv[1] if len(argv) > 1 else default
    build().save(path)
    print("wrote %s" % path)


if __name__ == "__main__":
    main(sys.argv)
