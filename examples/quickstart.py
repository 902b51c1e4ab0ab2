"""Build a parameter table in memory, register a few parameters and print them."""
from orv_testparameters import Parameter, SheetParameters

table = SheetParameters()
table.sheet_rename("Supply")
table.set_parameter("VDD", "Core supply", 3.3, -0.1, 0.1, "V", "float")
table.set_parameter(Parameter("IDD_max", "Supply current limit", 0.25, None, None, "A", "float"))
table.set_parameter(name="Retries", value=3, _type="int")
table.set_value("VDD", 3.25)

print("Sheet:", table.name)
for record in table.get_prefix_parameters(""):
    print("  {0.name:<10} {0.value!r:<8} low={0.low!r:<6} up={0.up!r:<6} {0.unit:<3} ({0.type})".format(record))
print("Supply names:", table.get_prefix_names("VDD"), "limits:", table.get_postfix_names("_max"))
