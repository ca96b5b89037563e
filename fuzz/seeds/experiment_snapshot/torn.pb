
app_measurement0’!+