рЃ•яј1tiergoldШ‰•яј1_ltv_EUR рЮбBiosJ17.1R
iPhone14,2rcom.example.app‚