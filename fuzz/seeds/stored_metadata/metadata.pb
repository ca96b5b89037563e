π•ÿΌ1tiergoldΨ‰•ÿΌ1_ltv_EUR πήαBiosJ17.1R
iPhone14,2rcom.example.app‚2.4.0 ΆG100