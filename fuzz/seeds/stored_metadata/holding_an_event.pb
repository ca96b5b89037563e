level_upÀËØş¼1ğ•ÿ¼1tiergoldØ‰•ÿ¼1_ltv_EUR ğŞáBiosJ17.1R
iPhone14,2rcom.example.app‚2.4.0 ¢G100